#pragma once

#include <string>
#include <vector>

// Command lines for the shell, quoted word by word, and call_system, which runs them. The child
// processes themselves, and what signals do meanwhile, are platform/system/child_processes.h's.

namespace qz {

// One literal shell word for any text: safe text stays as it is, anything else (the empty text
// too) goes between double quotes with the characters the shell still interprets there escaped.
std::string smart_quote(std::string text);

// The arguments after the program name, each as one shell word followed by a space.
std::string argv2cmdline(int argc, char** argv);

// Runs the command line through /bin/sh and waits; returns what system() would. The names in
// `unsetEnvironment` are removed from the environment of the shell and what it starts. Nothing
// process-wide changes meanwhile, so any thread may call it.
int call_system(std::string program, std::string commandLine,
                const std::vector<std::string>& unsetEnvironment = {});

} // namespace qz
