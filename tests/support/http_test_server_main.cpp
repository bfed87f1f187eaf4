// qz-test-server --file PATH [--etag VALUE] [--status CODE] [--chunk BYTES --delay-ms MS]
//                [--port-file PATH]
// Serves the file for any path on 127.0.0.1 and an ephemeral port until SIGTERM or SIGINT.

#include "support/http_test_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: qz-test-server --file PATH [--etag VALUE] [--status CODE] "
                 "[--chunk BYTES --delay-ms MS] [--port-file PATH]\n";
    return 2;
}

// Readers polling for the file never see it half written.
bool writePortFile(const std::string& path, std::uint16_t port) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << "\n";
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string file;
    std::optional<std::string> etag;
    std::string portFile;
    int status = 200;
    unsigned long chunk = 0;
    long delayMs = 0;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            if (i + 1 >= argc) {
                return usage();
            }
            const std::string value = argv[++i];
            if (argument == "--file") {
                file = value;
            } else if (argument == "--etag") {
                etag = value;
            } else if (argument == "--port-file") {
                portFile = value;
            } else if (argument == "--status") {
                status = std::stoi(value);
            } else if (argument == "--chunk") {
                chunk = std::stoul(value);
            } else if (argument == "--delay-ms") {
                delayMs = std::stol(value);
            } else {
                return usage();
            }
        }
    } catch (const std::exception&) {
        return usage();
    }
    if (file.empty()) {
        return usage();
    }

    // Blocked before the server's threads start, so they inherit the mask and sigwait gets it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    qz::test::HttpTestServer server;
    server.setBodyFromFile(file);
    server.setETag(etag);
    server.setStatus(status);
    server.setSlow(chunk, std::chrono::milliseconds(delayMs));

    if (!portFile.empty() && !writePortFile(portFile, server.port())) {
        std::cerr << "qz-test-server: cannot write " << portFile << "\n";
        return 1;
    }
    std::cout << server.port() << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
