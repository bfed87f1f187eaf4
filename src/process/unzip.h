#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

// Unpacks the archive into the directory with the outside unzip tool; true on success.
bool unzipInstallAgent(std::string zipPath, std::string destination, std::string unzipCommand,
                       MessageReporter reporter);

} // namespace qz
