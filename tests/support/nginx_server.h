#pragma once

// Debian's nginx run for one test: a private prefix directory with its own configuration, logs
// and temporary paths, listening on 127.0.0.1 only, on sockets bound here and handed over. Serves
// the files under root() with nginx's own ETag handling, so the bootstrapper meets a real
// server's behaviour (304, keep-alive, TLS).

#include "support/files.h"
#include "support/subprocess.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz::test {

struct NginxOptions {
    // Both set: an HTTPS listener with this certificate chain and private key (PEM files).
    std::string certificateFile;
    std::string keyFile;
    // On the HTTPS listener, "/to-http" answers 302 to the plain listener's /InstallAgent.zip.
    bool redirectToHttp = false;
};

// One access log line.
struct NginxAccessEntry {
    int status = 0;
    std::uint64_t bodyBytes = 0;
    std::uint16_t port = 0;  // the listener that served it
    std::string method;      // e.g. "GET"
    std::string target;      // e.g. "/InstallAgent.zip"
    std::string ifNoneMatch; // the request's If-None-Match, empty when it had none
    std::string etag;        // the response's ETag, empty when it had none
    std::string userAgent;
};

class NginxServer {
  public:
    // Whether /usr/sbin/nginx can be run.
    static bool available();

    // Writes the configuration and starts nginx; call waitUntilReady() before use.
    explicit NginxServer(NginxOptions options = {});
    // Stops nginx: SIGTERM, then SIGKILL to its process group after a deadline.
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Waits until nginx listens on every port. False when it ended or never got ready; errorLog()
    // tells why.
    bool waitUntilReady(double timeoutSeconds = 8.0);

    // The document root; files put here are served as they are.
    std::string root() const;
    std::uint16_t httpPort() const {
        return httpPort_;
    }
    std::uint16_t httpsPort() const {
        return httpsPort_;
    }
    std::string httpUrl(const std::string& path = "/InstallAgent.zip") const;
    std::string httpsUrl(const std::string& path = "/InstallAgent.zip") const;

    // The access log, oldest first.
    std::vector<NginxAccessEntry> accessEntries() const;
    // Waits until the access log holds at least `count` entries: nginx writes one only once it
    // has finished a request, which may be just after the client has seen the whole response.
    bool waitForAccessEntries(std::size_t count, double timeoutSeconds = 5.0) const;

    // The error log and nginx's own standard error, for failure messages.
    std::string errorLog() const;

  private:
    std::string configuration() const;

    NginxOptions options_;
    ScratchDir prefix_;
    std::uint16_t httpPort_ = 0;
    std::uint16_t httpsPort_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace qz::test
