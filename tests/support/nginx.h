// A private nginx for end-to-end tests: its own directory, configuration,
// logs and free ports on 127.0.0.1, stopped by its process id. Also the
// self-signed certificate its TLS server (or any other) uses.
#ifndef SHOAL_NGINX_H
#define SHOAL_NGINX_H

#include <string>
#include <vector>

#include "process.h"

namespace test {

// Writes a self-signed RSA certificate for CN=localhost, valid for one day,
// and its key, both PEM. False (with openssl's complaint in __error) when
// openssl fails.
bool makeSelfSignedCertificate(const std::string& __certPath, const std::string& __keyPath,
                               std::string& __error);

// One line of the access log, written as
// "$connection $connection_requests $status $body_bytes_sent "$request" "$http_range"".
struct AccessLogLine {
    long connection = 0;       // nginx's serial number of the client connection
    int connectionRequest = 0; // 1 for the first request on that connection, then 2, ...
    int status = 0;
    long long bodyBytes = 0;
    std::string request; // the request line, e.g. "GET /a.txt HTTP/1.1"
    std::string range;   // the request's Range field, e.g. "bytes=65536-"; "" without one
};

// nginx serving root() over HTTP on port(), and over HTTPS on tlsPort()
// when started with TLS, one worker, no master process. Files are typed by
// their extension: txt, html, mp4, png, mp3 and bin; others are text/plain.
// Owning thread only.
class NginxOrigin {
public:
    NginxOrigin() = default;
    // Stops nginx (see stop()).
    ~NginxOrigin() { stop(); }

    // Writes the configuration into __dir (made when missing) and starts
    // nginx, with files served from __dir/www (made here). __serverDirectives
    // go into every server block (locations, gzip, dav, ...). With __tls a
    // second server block listens with TLS and a fresh self-signed
    // certificate. Returns once every port accepts; false with the reason in
    // __error when nginx did not start or does not listen within 10 s.
    bool start(const std::string& __dir, const std::string& __serverDirectives, bool __tls,
               std::string& __error);
    // SIGTERM, then SIGKILL after a grace period; then waits for it.
    void stop() { process.stop(); }
    bool isRunning() { return process.isRunning(); }

    int port() const { return httpPort; }
    int tlsPort() const { return httpsPort; }
    const std::string& root() const { return wwwDir; }
    std::string errorLog() const { return readFile(dir + "/error.log"); }
    // Every request logged so far, in the order nginx finished them.
    std::vector<AccessLogLine> accessLog() const;

private:
    std::string configuration(const std::string& __serverDirectives, bool __tls) const;

    ChildProcess process;
    std::string dir;
    std::string wwwDir;
    int httpPort = 0;
    int httpsPort = 0;
};

} // namespace test

#endif
