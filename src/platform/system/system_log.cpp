#include "platform/system/system_log.h"

#include "bootstrap/message_reporter.h"
#include "platform/system/main_bundle.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// The running program's own name, whatever it was started as. openlog keeps the pointer, so the
// name must live as long as the process.
const std::string& programName() {
    static const std::string name = [] {
        const std::string path = runningExecutablePath();
        const std::string base = path.substr(path.rfind('/') + 1);
        return base.empty() ? std::string(program_invocation_short_name) : base;
    }();
    return name;
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    char withMillis[80];
    std::snprintf(withMillis, sizeof withMillis, "%.*s.%03d", static_cast<int>(length), text,
                  static_cast<int>(millis));
    return withMillis;
}

} // namespace

void systemLog(const std::string& line, bool onStandardError) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog(programName().c_str(), LOG_PID, LOG_USER); });
    ::syslog(LOG_USER | LOG_ERR, "%s", line.c_str());
    if (!onStandardError) {
        return;
    }

    std::string entry =
        timestamp() + " " + programName() + "[" + std::to_string(::getpid()) + "] " + line;
    if (entry.empty() || entry.back() != '\n') {
        entry += '\n';
    }
    endInPlaceLine();
    // One fwrite keeps the entry whole when several threads log.
    std::fwrite(entry.data(), 1, entry.size(), stderr);
    std::fflush(stderr);
}

} // namespace qz::platform
