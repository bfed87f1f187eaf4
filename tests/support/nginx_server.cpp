#include "support/nginx_server.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace qz::test {
namespace {

const char* const kNginx = "/usr/sbin/nginx";
constexpr double kStopSeconds = 5.0;
// A safety net only: a test never keeps its server this long.
constexpr double kLifetimeSeconds = 120.0;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Both sockets stay bound until both ports are known, so the two ports differ.
std::pair<std::uint16_t, std::uint16_t> twoFreePorts() {
    const int fds[2] = {::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0),
                        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::uint16_t ports[2] = {};
    for (int i : {0, 1}) {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(fds[i], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fds[i], reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            ports[i] = ntohs(address.sin_port);
        }
    }
    for (int fd : fds) {
        ::close(fd);
    }
    if (ports[0] == 0 || ports[1] == 0) {
        throw std::runtime_error("NginxServer: no free port on 127.0.0.1");
    }
    return {ports[0], ports[1]};
}

bool canConnect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
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
    return !process_ || process_->waitForExit(0);
}

bool NginxServer::waitUntilReady(double timeoutSeconds) {
    if (ready_) {
        return !hasExited();
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (int attempt = 0; attempt < 2; ++attempt) {
        while (!hasExited() && std::chrono::steady_clock::now() < deadline) {
            // nginx writes its pid file only once every listening socket is open.
            const std::string pidFile = prefix_ / "nginx.pid";
            const bool pidWritten = pathExists(pidFile) && std::atol(readFile(pidFile).c_str()) ==
                                                               static_cast<long>(process_->pid());
            const bool hasHttps = !options_.certificateFile.empty() && !options_.keyFile.empty();
            if (pidWritten && canConnect(httpPort_) && (!hasHttps || canConnect(httpsPort_))) {
                ready_ = true;
                return true;
            }
            process_->waitForExit(0.01); // the pause between checks
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
        if (!process_->waitForExit(kStopSeconds)) {
            process_->signalGroup(SIGKILL);
            process_->waitForExit(kStopSeconds);
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
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (accessLog().size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // nginx tells nobody
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
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, httpUrl(path).c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
    curl_header* header = nullptr;
    std::optional<std::string> value;
    if (curl_easy_perform(curl) == CURLE_OK &&
        curl_easy_header(curl, name.c_str(), 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
        value = header->value;
    }
    curl_easy_cleanup(curl);
    return value;
}

} // namespace qz::test
