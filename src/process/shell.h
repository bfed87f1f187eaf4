#pragma once

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

// What running a command line through /bin/sh gave.
struct ShellOutcome {
    bool started = false; // false: no shell could be started
    int status = -1;      // the shell's wait status, when it started
};

// call_system's work, telling a shell that could not be started apart from one that ran. With
// `forwardTermination`, SIGTERM and SIGHUP that reach us meanwhile are passed on to the shell's
// process (TerminationForwarding).
ShellOutcome runCommandLine(std::string commandLine,
                            const std::vector<std::string>& unsetEnvironment,
                            bool forwardTermination);

} // namespace qz
