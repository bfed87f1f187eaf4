#pragma once

#include <string>

namespace qz {

// The running program's bundle path, or without a bundle its executable file; empty if unknown.
std::string getPathToExecutable();

// The directory that contains getPathToExecutable(); empty when that is empty.
std::string getDirectoryOfExecutable();

// The text before the last "/" or backslash of `path`; the whole path when it has neither.
std::string directoryOfPath(const std::string& path);

} // namespace qz
