// shoal: an HTTP/1.x forward proxy on TCP port 1998 that makes large
// downloads faster. It takes no arguments and runs until it is killed.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "httpserver.h"

HttpServer server;

int main(int, char**) {
    // A peer that goes away fails the send; it must not end the process.
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!server.openListener(error)) {
        std::fprintf(stderr, "shoal: cannot listen on port %d: %s\n", HttpServer::proxyPort,
                     error.c_str());
        return 1;
    }
    server.startThread();
    for (;;)
        usleep(1000 * 1000);
}
