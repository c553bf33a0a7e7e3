#include "nginx.h"

#include <sys/stat.h>

#include <sstream>

#include "testsupport.h"

namespace test {

bool makeSelfSignedCertificate(const std::string& __certPath, const std::string& __keyPath,
                               std::string& __error) {
    CommandResult made =
        runCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                    "/CN=localhost", "-days", "1", "-keyout", __keyPath, "-out", __certPath},
                   30000);
    if (made.status == 0 && fileSize(__certPath) > 0 && fileSize(__keyPath) > 0)
        return true;
    __error = made.describe();
    return false;
}

bool NginxOrigin::start(const std::string& __dir, const std::string& __serverDirectives, bool __tls,
                        std::string& __error) {
    dir = __dir;
    wwwDir = dir + "/www";
    ::mkdir(dir.c_str(), 0755);
    ::mkdir(wwwDir.c_str(), 0755);
    ::mkdir((dir + "/temp").c_str(), 0755);
    if (__tls && !makeSelfSignedCertificate(dir + "/cert.pem", dir + "/key.pem", __error))
        return false;

    httpPort = freePort();
    httpsPort = 0;
    while (__tls && (httpsPort == 0 || httpsPort == httpPort))
        httpsPort = freePort();
    if (!writeFile(dir + "/nginx.conf", configuration(__serverDirectives, __tls))) {
        __error = "cannot write " + dir + "/nginx.conf";
        return false;
    }
    if (!process.start(
            {"nginx", "-p", dir + "/", "-e", dir + "/error.log", "-c", dir + "/nginx.conf"},
            dir + "/stdout.log", dir + "/stderr.log")) {
        __error = "cannot start nginx";
        return false;
    }
    auto alive = [this] { return process.isRunning(); };
    if (waitForPort(httpPort, 10000, alive) && (!__tls || waitForPort(httpsPort, 10000, alive)))
        return true;
    __error = "nginx does not listen on " + std::to_string(httpPort) +
              (__tls ? " and " + std::to_string(httpsPort) : "") + "\n" + errorLog() +
              readFile(dir + "/stderr.log");
    process.stop();
    return false;
}

std::string NginxOrigin::configuration(const std::string& __serverDirectives, bool __tls) const {
    // worker_connections: enough for the load soak's 500 proxy connections,
    // each with up to eight range connections of an accelerated body.
    std::ostringstream conf;
    conf << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << dir << "/nginx.pid;\n"
         << "error_log " << dir << "/error.log warn;\n"
         << "events { worker_connections 8192; }\n"
         << "http {\n"
         << "    log_format connections '$connection $connection_requests $status "
            "$body_bytes_sent \"$request\" \"$http_range\"';\n"
         << "    access_log " << dir << "/access.log connections;\n"
         << "    client_body_temp_path " << dir << "/temp/body;\n"
         << "    proxy_temp_path " << dir << "/temp/proxy;\n"
         << "    fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
         << "    uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
         << "    scgi_temp_path " << dir << "/temp/scgi;\n"
         << "    types { text/plain txt; text/html html; video/mp4 mp4; image/png png;\n"
         << "            audio/mpeg mp3; application/octet-stream bin; }\n"
         << "    default_type text/plain;\n"
         << "    keepalive_timeout 60s;\n"
         << "    keepalive_requests 10000;\n"
         << "    server {\n"
         << "        listen 127.0.0.1:" << httpPort << ";\n"
         << "        root " << wwwDir << ";\n"
         << __serverDirectives << "\n"
         << "    }\n";
    if (__tls)
        conf << "    server {\n"
             << "        listen 127.0.0.1:" << httpsPort << " ssl;\n"
             << "        ssl_certificate " << dir << "/cert.pem;\n"
             << "        ssl_certificate_key " << dir << "/key.pem;\n"
             << "        root " << wwwDir << ";\n"
             << __serverDirectives << "\n"
             << "    }\n";
    conf << "}\n";
    return conf.str();
}

std::vector<AccessLogLine> NginxOrigin::accessLog() const {
    std::vector<AccessLogLine> lines;
    std::istringstream log(readFile(dir + "/access.log"));
    std::string text;
    while (std::getline(log, text)) {
        std::istringstream words(text);
        AccessLogLine line;
        words >> line.connection >> line.connectionRequest >> line.status >> line.bodyBytes;
        // Two quoted fields: nginx writes a '"' inside one as "\x22", so the
        // next '"' always ends the field.
        size_t open = text.find('"');
        size_t close = open == std::string::npos ? open : text.find('"', open + 1);
        size_t rangeOpen = close == std::string::npos ? close : text.find('"', close + 1);
        size_t rangeClose =
            rangeOpen == std::string::npos ? rangeOpen : text.find('"', rangeOpen + 1);
        if (!words || rangeClose == std::string::npos)
            continue;
        line.request = text.substr(open + 1, close - open - 1);
        line.range = text.substr(rangeOpen + 1, rangeClose - rangeOpen - 1);
        if (line.range == "-") // nginx's mark for a field the request did not have
            line.range.clear();
        lines.push_back(line);
    }
    return lines;
}

} // namespace test
