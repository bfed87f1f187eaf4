#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

// The install agent's two commands, run through the shell: unzip unpacks it, and the shell
// starts it. Both keep from them what we set in the environment for ourselves only.

namespace qz {

struct Settings;

// Unpacks the archive into the directory with the outside unzip tool; true on success.
// Whether the shell would find `program` on the settings' PATH, as an executable file.
bool programOnPath(const std::string& program, const Settings& settings);

// Says that unzip is needed and missing, naming its package: the line before the usual ones.
void reportMissingUnzip(const std::string& unzipCommand, MessageReporter reporter);

bool unzipInstallAgent(std::string zipPath, std::string destination, std::string unzipCommand,
                       MessageReporter reporter, const Settings& settings);

// Runs the install agent through the shell with -installbundle, the product archive and the
// forwarded arguments, and waits for it as system() does, passing SIGTERM and SIGHUP on to it.
// True once the shell started, whatever the agent's exit status; false when no shell could be
// started. On the main thread only.
bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                              std::string bundleDirectory, int argc, char** argv,
                              MessageReporter reporter, const Settings& settings);

} // namespace qz
