#pragma once

#include <string>

namespace qz::platform {

// How the run ends when it cannot end the usual way, its main thread stuck or its display gone:
// its last line on standard error, its scratch directory removed, status 255. Set once the
// scratch directory exists, before any other thread runs; cleared when the run ends as usual.
void prepareAbruptEnding(std::string lastLine, std::string scratchDirectory);
void clearAbruptEnding();

// Ends the run so, from whichever thread: never returns.
[[noreturn]] void endAbruptly();

} // namespace qz::platform
