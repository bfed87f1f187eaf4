#pragma once

#include <string>

namespace qz::platform {

// Writes one entry to the system log (user facility, error level) and the same line on stderr,
// prefixed with the local time, the program name and the process id.
void systemLog(const std::string& line);

} // namespace qz::platform
