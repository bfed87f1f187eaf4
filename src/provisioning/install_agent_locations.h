#pragma once

#include "bootstrap/message_reporter.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qz {

struct Settings;

std::string getBundleLocation(const Settings& settings);
std::string getDefaultInstallAgentLocation(const Settings& settings);
// The first line of the endpoint URL file, as it stands; empty when there is none.
std::string readEndpointUrlFile(std::string path, MessageReporter reporter);
std::string getInstallAgentCacheDir();
std::string installAgentDirOnDisk();
std::string getInstallAgentExecutable(std::string directory);
// The file that an unpacked "install" runs: itself when it is a regular file, or where a symbolic
// link leads when that is a regular file inside the agent's own folder (the one holding
// `executable`); none for a directory or other special file, or a link that dangles or leaves
// the folder.
std::optional<std::string> installAgentTarget(const std::string& executable);
// Whether an unpacked "install" can be started: it has a target.
bool isUsableInstallAgent(const std::string& executable);
int mkpath(std::string path, std::uint16_t mode);

} // namespace qz
