// shoal: an HTTP/1.x forward proxy on TCP port 1998 that makes large
// downloads faster. It takes no arguments and runs until it is killed.
//
// SIGTERM or SIGINT stops it cleanly: the listener closes every connection,
// joins its thread and frees it, and the process exits with status 0. A
// second signal, while a connection is still ending, ends the process at once.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include "httpserver.h"

HttpServer server;

int main(int, char**) {
    // A peer that goes away fails the send; it must not end the process.
    signal(SIGPIPE, SIG_IGN);
    // Blocked before any thread starts, so that every thread inherits the
    // mask and only sigwait() below takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    if (!server.openListener(error)) {
        std::fprintf(stderr, "shoal: cannot listen on port %d: %s\n", HttpServer::proxyPort,
                     error.c_str());
        return 1;
    }
    server.startThread();

    int received = 0;
    sigwait(&stopSignals, &received);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    server.stop();
    server.joinThread();
    return 0;
}
