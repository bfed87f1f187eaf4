#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

struct Settings;

// The path of the install agent's executable, from the bundle's archive or from the download
// and the per-user cache; empty when no install agent could be had.
std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                               MessageReporter reporter, const Settings& settings);

// The first entry of `directory` named "InstallAgent_*.zip", as directory/name; empty if none.
std::string findInstallAgentArchive(const std::string& directory);

} // namespace qz
