#include "process/shell.h"

#include "platform/system/child_processes.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qz {
namespace {

bool isSafeShellChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("_@%+=:,./-", c) != nullptr;
}

} // namespace

std::string smart_quote(std::string text) {
    // strchr also matches the terminating NUL, so test the NUL byte explicitly as unsafe.
    const bool safe = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c != '\0' && isSafeShellChar(static_cast<unsigned char>(c));
    });
    if (safe) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string argv2cmdline(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += smart_quote(argv[i]);
        line += ' ';
    }
    return line;
}

int call_system(std::string /*program*/, std::string commandLine,
                const std::vector<std::string>& unsetEnvironment) {
    const auto status = platform::runThroughShell(std::move(commandLine), unsetEnvironment,
                                                  platform::Waiting::AsSystem);
    // What system() returns when the shell cannot be executed.
    return status ? *status : 127 << 8;
}

} // namespace qz
