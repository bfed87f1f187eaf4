// qz-slow-server --file PATH [--status CODE] [--chunk BYTES] [--delay-ms MS] --port-file PATH
// Serves the file for any path on 127.0.0.1, in chunks with a delay between them, or answers
// with the status; until SIGTERM or SIGINT. For pictures of the download window.

#include "support/http_test_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: qz-slow-server --file PATH [--status CODE] [--chunk BYTES] "
                 "[--delay-ms MS] --port-file PATH\n";
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
    std::string portFile;
    int status = 200;
    unsigned long chunk = 4096;
    long delayMs = 100;
    try {
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string option = argv[i];
            const std::string value = argv[i + 1];
            if (option == "--file") {
                file = value;
            } else if (option == "--port-file") {
                portFile = value;
            } else if (option == "--status") {
                status = std::stoi(value);
            } else if (option == "--chunk") {
                chunk = std::stoul(value);
            } else if (option == "--delay-ms") {
                delayMs = std::stol(value);
            } else {
                return usage();
            }
        }
    } catch (const std::exception&) {
        return usage();
    }
    if (argc % 2 == 0 || file.empty() || portFile.empty()) {
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
    server.setStatus(status);
    server.setSlow(chunk, std::chrono::milliseconds(delayMs));
    if (!writePortFile(portFile, server.port())) {
        std::cerr << "qz-slow-server: cannot write " << portFile << "\n";
        return 1;
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}
