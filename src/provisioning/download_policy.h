#pragma once

#include <optional>
#include <string>

namespace qz {

// In the installer's resources: settings of ours that the installer's design does not have, one
// "name: value" a line. Without the file, or without a setting, the design's behaviour stands.
inline const std::string INSTALLER_SETTINGS_FILE = "installerSettings.txt";

// The value of the setting `name` in the installer in `resources`; none without it.
std::optional<std::string> installerSetting(const std::string& resources, const std::string& name);

// Whether the installer in `resources` asks for a download that survives the network
// ("download: resilient"): transient failures tried again, a cut download resumed (also by the
// next run), the cached agent kept until its replacement is in place, and an offline start of
// a signed cached agent. Otherwise one request, and the first failure is final.
bool resilientDownloadIn(const std::string& resources);

// The product whose install agents the installer in `resources` accepts: its setting
// "product: ...", else the URL in its URL file without scheme, query and fragment (so that
// installers that download from different places are different products); empty when neither
// names one.
std::string productOfInstaller(const std::string& resources);

// The product named by a download URL, as `make-installer` names it by default.
std::string productOfUrl(const std::string& url);

} // namespace qz
