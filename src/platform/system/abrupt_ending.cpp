#include "platform/system/abrupt_ending.h"

#include "base/write_all.h"
#include "platform/system/directories.h"

#include <mutex>
#include <unistd.h>

namespace qz::platform {
namespace {

struct Ending {
    std::mutex mutex;
    std::string lastLine;
    std::string scratchDirectory;
};

Ending& ending() {
    static Ending theEnding;
    return theEnding;
}

} // namespace

void prepareAbruptEnding(std::string lastLine, std::string scratchDirectory) {
    const std::lock_guard lock(ending().mutex);
    ending().lastLine = std::move(lastLine);
    ending().scratchDirectory = std::move(scratchDirectory);
}

void clearAbruptEnding() {
    prepareAbruptEnding({}, {});
}

void endAbruptly() {
    // Held until the end: a second caller waits here and never ends the run twice.
    ending().mutex.lock();
    const std::string line = ending().lastLine + "\n";
    writeAll(STDERR_FILENO, line.data(), line.size()).ignore("the status says it all the same");
    if (!ending().scratchDirectory.empty()) {
        removeItem(ending().scratchDirectory)
            .ignore("what resists is a leftover that the next run removes");
    }
    ::_exit(255);
}

} // namespace qz::platform
