#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

struct Settings;

// From a fresh scratch directory to a started install agent: 0 when it was started, -1 otherwise.
int bootstrapInstallerMainFunc(int argc, char** argv, MessageReporter reporter,
                               const Settings& settings);

// Unpacks a payload carried by the bootstrapper itself; this one carries none.
int extractPayloadToDir(std::string directory, bool flag, MessageReporter reporter);

} // namespace qz
