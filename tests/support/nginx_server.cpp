#include "support/nginx_server.h"

#include <gio/gio.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace qz::test {
namespace {

const char* const kNginx = "/usr/sbin/nginx";
constexpr double kStopSeconds = 5.0;

// A socket listening on a port of the system's choosing; nginx takes it over (its NGINX
// variable), so no other program can take the port between our choice and nginx's bind.
int listeningSocket(std::uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("NginxServer: no listening socket");
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

bool NginxServer::available() {
    return ::access(kNginx, X_OK) == 0;
}

NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
    for (const char* dir : {"conf", "html", "logs", "temp"}) {
        makeDirectories(prefix_ / dir);
    }
    const int http = listeningSocket(httpPort_);
    const int https = listeningSocket(httpsPort_);
    const std::string conf = prefix_ / "conf/nginx.conf";
    writeFile(conf, configuration());
    RunOptions run;
    run.workingDirectory = prefix_.path();
    run.passFds = {http, https};
    run.setEnv = {"NGINX=3;4;"};
    process_ = std::make_unique<ChildProcess>(
        kNginx,
        std::vector<std::string>{"-e", prefix_ / "logs/error.log", "-p", prefix_.path() + "/", "-c",
                                 conf, "-g", "daemon off;"},
        run);
}

NginxServer::~NginxServer() {
    // Fast shutdown: open keep-alive connections must not hold it up. Then the process's
    // destructor kills what is left of the process group.
    process_->signal(SIGTERM);
    process_->waitForExit(kStopSeconds);
}

std::string NginxServer::root() const {
    return prefix_ / "html";
}

std::string NginxServer::httpUrl(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(httpPort_) + path;
}

std::string NginxServer::httpsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(httpsPort_) + path;
}

std::string NginxServer::configuration() const {
    std::string conf;
    // Workers as root could not read a private scratch directory otherwise; a non-root master
    // runs its workers as itself anyway.
    const passwd* user = ::getpwuid(::geteuid());
    const group* grp = ::getgrgid(::getegid());
    if (::geteuid() == 0 && user != nullptr && grp != nullptr) {
        conf = std::string("user ") + user->pw_name + " " + grp->gr_name + ";\n";
    }
    // Relative paths are taken from the prefix.
    conf += R"(worker_processes 1;
pid nginx.pid;
lock_file nginx.lock;
error_log logs/error.log info;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    log_format qz escape=none
        '$status\t$body_bytes_sent\t$server_port\t$http_if_none_match\t$sent_http_etag\t$http_user_agent\t$request_method\t$request_uri';
    access_log logs/access.log qz;
    client_body_temp_path temp/client_body;
    proxy_temp_path temp/proxy;
    fastcgi_temp_path temp/fastcgi;
    uwsgi_temp_path temp/uwsgi;
    scgi_temp_path temp/scgi;
    keepalive_timeout 5s;
    root html;
)";
    conf += "    server { listen 127.0.0.1:" + std::to_string(httpPort_) + "; }\n";
    if (!options_.certificateFile.empty() && !options_.keyFile.empty()) {
        conf += "    server {\n        listen 127.0.0.1:" + std::to_string(httpsPort_) + " ssl;\n" +
                "        ssl_certificate \"" + options_.certificateFile + "\";\n" +
                "        ssl_certificate_key \"" + options_.keyFile + "\";\n";
        if (options_.redirectToHttp) {
            conf += "        location = /to-http { return 302 " + httpUrl() + "; }\n";
        }
        conf += "    }\n";
    }
    return conf + "}\n";
}

bool NginxServer::waitUntilReady(double timeoutSeconds) {
    // nginx writes its pid file only once it listens on every socket.
    const std::string pidFile = prefix_ / "nginx.pid";
    const auto ready = [&] {
        return pathExists(pidFile) && std::atol(readFile(pidFile).c_str()) == process_->pid();
    };
    return eventually([&] { return ready() || process_->waitForExit(0); }, timeoutSeconds) &&
           ready();
}

std::vector<NginxAccessEntry> NginxServer::accessEntries() const {
    const std::string log = prefix_ / "logs/access.log";
    g_auto(GStrv) lines = g_strsplit(pathExists(log) ? readFile(log).c_str() : "", "\n", -1);
    std::vector<NginxAccessEntry> entries;
    for (gchar** line = lines; *line != nullptr; ++line) {
        g_auto(GStrv) field = g_strsplit(*line, "\t", 8);
        const auto text = [&](int i) { return std::string(field[i]) == "-" ? "" : field[i]; };
        if (g_strv_length(field) == 8) {
            entries.push_back({.status = std::atoi(field[0]),
                               .bodyBytes = std::strtoull(field[1], nullptr, 10),
                               .port = static_cast<std::uint16_t>(std::atoi(field[2])),
                               .method = field[6],
                               .target = field[7],
                               .ifNoneMatch = text(3),
                               .etag = text(4),
                               .userAgent = field[5]});
        }
    }
    return entries;
}

bool NginxServer::waitForAccessEntries(std::size_t count, double timeoutSeconds) const {
    // nginx tells nobody: the log is looked at each time the main context wakes.
    return eventually([&] { return accessEntries().size() >= count; }, timeoutSeconds);
}

std::string NginxServer::errorLog() const {
    std::string log;
    if (pathExists(prefix_ / "logs/error.log")) {
        log = readFile(prefix_ / "logs/error.log");
    }
    return log + process_->errSoFar();
}

} // namespace qz::test
