#pragma once

#include <string>

namespace qz {

struct Settings;

// The running program's bundle path, or without a bundle its executable file; empty if unknown.
std::string getPathToExecutable(const Settings& settings);

// The directory that contains getPathToExecutable(); empty when that is empty.
std::string getDirectoryOfExecutable(const Settings& settings);

// The text before the last "/" or backslash of `path`; the whole path when it has neither.
std::string directoryOfPath(const std::string& path);

} // namespace qz
