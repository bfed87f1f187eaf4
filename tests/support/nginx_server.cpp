#include "support/nginx_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace qz::test {
namespace {

const char* const kNginx = "/usr/sbin/nginx";
constexpr double kStopSeconds = 5.0;
// A safety net only: a test never keeps its server this long.
constexpr double kLifetimeSeconds = 120.0;

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

class Socket {
  public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "socket");
        }
    }
    ~Socket() {
        ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const {
        return fd_;
    }

  private:
    int fd_;
};

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Both sockets stay bound until both ports are known, so the two ports differ.
std::pair<std::uint16_t, std::uint16_t> twoFreePorts() {
    Socket first;
    Socket second;
    std::uint16_t ports[2] = {};
    int index = 0;
    for (const Socket* s : {&first, &second}) {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(s->fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(s->fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1:0");
        }
        ports[index++] = ntohs(address.sin_port);
    }
    return {ports[0], ports[1]};
}

bool canConnect(std::uint16_t port) {
    Socket s;
    const sockaddr_in address = loopback(port);
    return ::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A double-quoted nginx configuration string.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

bool childHasExited(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno != EINTR;
    }
    return info.si_pid != 0;
}

// Returns early when the child ends; also serves as the pause between readiness checks.
bool waitForExit(pid_t pid, double seconds) {
    const auto deadline = after(seconds);
#if defined(SYS_pidfd_open)
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0) {
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{pidFd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left)));
            if (ready >= 0 || errno != EINTR || left <= 0) {
                break;
            }
        }
        ::close(pidFd);
        return childHasExited(pid);
    }
#endif
    while (!childHasExited(pid)) {
        if (Clock::now() >= deadline) {
            return false;
        }
        ::poll(nullptr, 0, 10);
    }
    return true;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    if (!pathExists(path)) {
        return lines;
    }
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// nginx writes '"', '\\' and control characters in logged values as \xHH.
std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

bool NginxServer::available() {
    return ::access(kNginx, X_OK) == 0;
}

NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
    for (const char* dir : {"conf", "html", "logs", "temp"}) {
        makeDirectories(prefix_ / dir);
    }
    start();
}

NginxServer::~NginxServer() {
    stop();
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
    const std::string prefix = prefix_.path();
    std::ostringstream conf;
    // Workers as root could not read a private scratch directory otherwise; a non-root master
    // runs its workers as itself anyway.
    if (::geteuid() == 0) {
        const passwd* user = ::getpwuid(::geteuid());
        const group* grp = ::getgrgid(::getegid());
        if (user != nullptr && grp != nullptr) {
            conf << "user " << user->pw_name << " " << grp->gr_name << ";\n";
        }
    }
    conf << "worker_processes 1;\n"
         << "pid " << quoted(prefix + "/nginx.pid") << ";\n"
         << "lock_file " << quoted(prefix + "/nginx.lock") << ";\n"
         << "error_log " << quoted(prefix + "/logs/error.log") << " info;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n"
         << "    default_type application/octet-stream;\n"
         << "    log_format qz '$status $body_bytes_sent $server_port \"$http_if_none_match\" "
            "\"$request\"';\n"
         << "    access_log " << quoted(prefix + "/logs/access.log") << " qz;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        conf << "    " << temp << "_temp_path " << quoted(prefix + "/temp/" + temp) << ";\n";
    }
    conf << "    keepalive_timeout 5s;\n"
         << "    server {\n"
         << "        listen 127.0.0.1:" << httpPort_ << ";\n"
         << "        root " << quoted(root()) << ";\n"
         << "    }\n";
    if (!options_.certificateFile.empty() && !options_.keyFile.empty()) {
        conf << "    server {\n"
             << "        listen 127.0.0.1:" << httpsPort_ << " ssl;\n"
             << "        ssl_certificate " << quoted(options_.certificateFile) << ";\n"
             << "        ssl_certificate_key " << quoted(options_.keyFile) << ";\n"
             << "        root " << quoted(root()) << ";\n";
        if (options_.redirectToHttp) {
            conf << "        location = /to-http { return 302 " << httpUrl() << "; }\n";
        }
        conf << "    }\n";
    }
    conf << "}\n";
    return conf.str();
}

void NginxServer::start() {
    std::tie(httpPort_, httpsPort_) = twoFreePorts();
    const std::string conf = prefix_ / "conf/nginx.conf";
    writeFile(conf, configuration());
    ::unlink((prefix_ / "nginx.pid").c_str());
    RunOptions run;
    run.timeoutSeconds = kLifetimeSeconds;
    run.workingDirectory = prefix_.path();
    process_ = std::make_unique<ChildProcess>(
        kNginx,
        std::vector<std::string>{"-e", prefix_ / "logs/error.log", "-p", prefix_.path() + "/", "-c",
                                 conf, "-g", "daemon off;"},
        run);
}

bool NginxServer::hasExited() const {
    return !process_ || childHasExited(process_->pid());
}

bool NginxServer::waitUntilReady(double timeoutSeconds) {
    if (ready_) {
        return !hasExited();
    }
    const auto deadline = after(timeoutSeconds);
    for (int attempt = 0; attempt < 2; ++attempt) {
        while (!hasExited() && Clock::now() < deadline) {
            // nginx writes its pid file only once every listening socket is open.
            const std::string pidFile = prefix_ / "nginx.pid";
            const bool pidWritten = pathExists(pidFile) && std::atol(readFile(pidFile).c_str()) ==
                                                               static_cast<long>(process_->pid());
            const bool hasHttps = !options_.certificateFile.empty() && !options_.keyFile.empty();
            if (pidWritten && canConnect(httpPort_) && (!hasHttps || canConnect(httpsPort_))) {
                ready_ = true;
                return true;
            }
            waitForExit(process_->pid(), 0.01);
        }
        if (!hasExited() || attempt == 1) {
            break;
        }
        earlierAttempt_ += process_->errSoFar();
        stop();
        start();
    }
    return false;
}

void NginxServer::stop() {
    if (!process_) {
        return;
    }
    if (!hasExited()) {
        // Fast shutdown: open keep-alive connections must not hold it up.
        process_->signal(SIGTERM);
        if (!waitForExit(process_->pid(), kStopSeconds)) {
            process_->signalGroup(SIGKILL);
            waitForExit(process_->pid(), kStopSeconds);
        }
    }
    process_.reset(); // kills what is left of the process group and reaps nginx
    ready_ = false;
}

std::vector<std::string> NginxServer::accessLog() const {
    return readLines(prefix_ / "logs/access.log");
}

std::vector<NginxAccessEntry> NginxServer::accessEntries() const {
    std::vector<NginxAccessEntry> entries;
    for (const std::string& line : accessLog()) {
        NginxAccessEntry entry;
        unsigned port = 0;
        std::istringstream fields(line.substr(0, line.find('"')));
        fields >> entry.status >> entry.bodyBytes >> port;
        entry.port = static_cast<std::uint16_t>(port);
        // Every quote in the line delimits a value: nginx escapes quotes inside values.
        std::vector<std::string> quotedParts;
        std::size_t open = line.find('"');
        while (open != std::string::npos) {
            const std::size_t close = line.find('"', open + 1);
            if (close == std::string::npos) {
                break;
            }
            quotedParts.push_back(unescaped(line.substr(open + 1, close - open - 1)));
            open = line.find('"', close + 1);
        }
        if (quotedParts.size() >= 2) {
            entry.ifNoneMatch = quotedParts[0] == "-" ? "" : quotedParts[0];
            std::istringstream request(quotedParts[1]);
            request >> entry.method >> entry.target;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool NginxServer::waitForAccessEntries(std::size_t count, double timeoutSeconds) const {
    const auto deadline = after(timeoutSeconds);
    while (accessLog().size() < count) {
        if (Clock::now() >= deadline) {
            return false;
        }
        ::poll(nullptr, 0, 10);
    }
    return true;
}

std::string NginxServer::errorLog() const {
    std::string log;
    if (pathExists(prefix_ / "logs/error.log")) {
        log = readFile(prefix_ / "logs/error.log");
    }
    if (process_) {
        log += process_->errSoFar();
    }
    return log + earlierAttempt_;
}

std::optional<std::string> NginxServer::headerOf(const std::string& path,
                                                 const std::string& name) const {
    Socket s;
    const sockaddr_in address = loopback(httpPort_);
    if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::nullopt;
    }
    const std::string request = "HEAD " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(s.fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    // HTTP/1.0: nginx closes the connection after the response.
    std::string response;
    const auto deadline = after(5.0);
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{s.fd(), POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = ::recv(s.fd(), buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        response.append(buffer, static_cast<std::size_t>(n));
    }
    std::istringstream lines(response);
    std::string line;
    std::getline(lines, line); // status line
    while (std::getline(lines, line) && line != "\r" && !line.empty()) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon != name.size() ||
            ::strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) {
            continue;
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        return value;
    }
    return std::nullopt;
}

} // namespace qz::test
