#pragma once

#include <cstdint>
#include <string>

namespace qz {

std::string getBundleLocation();
std::string getDefaultInstallAgentLocation();
std::string getInstallAgentCacheDir();
std::string installAgentDirOnDisk();
std::string getInstallAgentExecutable(std::string directory);
int mkpath(std::string path, std::uint16_t mode);

} // namespace qz
