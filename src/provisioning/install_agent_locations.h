#pragma once

#include <cstdint>
#include <string>

namespace qz {

std::string getBundleLocation();
std::string getDefaultInstallAgentLocation();
std::string getInstallAgentCacheDir();
std::string installAgentDirOnDisk();
std::string getInstallAgentExecutable(std::string directory);
// Whether an unpacked "install" can be started: a regular file itself, not a directory or other
// special file, nor a symbolic link (even to a file: it may point anywhere).
bool isUsableInstallAgent(const std::string& executable);
int mkpath(std::string path, std::uint16_t mode);

} // namespace qz
