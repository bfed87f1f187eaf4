#pragma once

#include <string>

namespace qz::platform {

// Writes one entry to the system log (user facility, error level) and, unless the user is shown
// the same fact otherwise, the same line on stderr, prefixed with the local time, the program
// name and the process id.
void systemLog(const std::string& line, bool onStandardError = true);

} // namespace qz::platform
