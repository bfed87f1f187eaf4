#pragma once

#include "base/result.h"

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

// What the process does with signals while a command line runs.
enum class Waiting {
    // Nothing process-wide changes: whoever owns the signals (the event loop) goes on handling
    // them. call_system waits so; it may be called from any thread.
    LeavingSignals,
    // As system() waits, on the main thread only: SIGINT and SIGQUIT ignored (the terminal sends
    // them to the command too), SIGTERM and SIGHUP passed on to the shell's process
    // (TerminationForwarding).
    AsTheForeground,
};

// call_system's work: the shell's wait status, or a failure when no shell could be started. The
// shell gets the signal mask and dispositions the process started with.
Result<int> runCommandLine(std::string commandLine,
                           const std::vector<std::string>& unsetEnvironment, Waiting waiting);

} // namespace qz
