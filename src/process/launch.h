#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

// Runs the install agent through the shell with -installbundle, the product archive and the
// forwarded arguments, and waits for it, passing SIGTERM and SIGHUP on to it. True once the shell
// started, whatever the agent's exit status; false when no shell could be started.
bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                              std::string bundleDirectory, int argc, char** argv,
                              MessageReporter reporter);

} // namespace qz
