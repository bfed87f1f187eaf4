#pragma once

#include "bootstrap/result.h"

#include <string>
#include <vector>

namespace qz {

// One literal shell word for any text: safe text stays as it is, anything else (the empty text
// too) goes between double quotes with the characters the shell still interprets there escaped.
std::string smart_quote(std::string text);

// The arguments after the program name, each as one shell word followed by a space.
std::string argv2cmdline(int argc, char** argv);

// Runs the command line through /bin/sh and waits; returns what system() would. The names in
// `unsetEnvironment` are removed from the environment of the shell and what it starts.
int call_system(std::string program, std::string commandLine,
                const std::vector<std::string>& unsetEnvironment = {});

// call_system's work: the shell's wait status, or a failure when no shell could be started. With
// `forwardTermination`, SIGTERM and SIGHUP that reach us meanwhile are passed on to the shell's
// process (TerminationForwarding).
Result<int> runCommandLine(std::string commandLine,
                           const std::vector<std::string>& unsetEnvironment,
                           bool forwardTermination);

} // namespace qz
