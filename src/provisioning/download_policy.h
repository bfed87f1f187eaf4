#pragma once

#include <string>

namespace qz {

// In the installer's resources: settings of ours that the installer's design does not have, one
// "name: value" a line. Without the file, or without a setting, the design's behaviour stands.
inline const std::string INSTALLER_SETTINGS_FILE = "installerSettings.txt";

// Whether the installer in `resources` asks for a download that survives the network
// ("download: resilient"): transient failures tried again, a cut download resumed (also by the
// next run), the cached agent kept until its replacement is in place, and an offline start of
// a signed cached agent. Otherwise one request, and the first failure is final.
bool resilientDownloadIn(const std::string& resources);

} // namespace qz
