#pragma once

#include <string>

namespace qz {

// Inline variables defined in this order in every translation unit are initialised in this order,
// so the cache path below is composed from constants that already exist.
inline const std::string PATH_SEPARATOR = "/";
inline const std::string RELEASE_TAG = "V1904c";
inline const std::string PLATFORM_TAG = "maci64";
inline const std::string INSTALL_AGENT_ZIP = "InstallAgent.zip";
inline const std::string INSTALL_AGENT_DIR = "installagent";
inline const std::string INSTALL_AGENT_CACHE_SUBDIR =
    ".velmor" + PATH_SEPARATOR + "app_installer_cache" + PATH_SEPARATOR + RELEASE_TAG +
    PATH_SEPARATOR + PLATFORM_TAG + PATH_SEPARATOR;
inline const std::string VALIDATION_STRING_FILE = ".validatestring";

} // namespace qz
