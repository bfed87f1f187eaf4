#pragma once

#include "support/subprocess.h"

#include <string>
#include <vector>

namespace qz::test {

// An installer laid out as users get it: a copy of the built bootstrapper in a flat folder, or
// in `<Name>.app/Contents/MacOS` with its resources in `Contents/Resources`.
struct InstallerFolder {
    std::string executable;
    std::string resources;
};
InstallerFolder makeFlatInstaller(const std::string& folder);
InstallerFolder makeAppInstaller(const std::string& appPath);

// The install agent cache of a user with this home, ending in '/'.
std::string agentCacheIn(const std::string& home);

// The path of the bootstrapper that the build made.
std::string builtBootstrapper();

// An install agent script that records the arguments it receives, NUL-terminated, into the
// file named by QZ_TEST_RECORD, prints "agent ran" and exits with QZ_TEST_AGENT_STATUS (0).
std::string recordingAgentScript();

// An install agent that records its arguments as the recording agent does, appends "got TERM",
// "got HUP" or "got INT" to the record file's name + ".signals" when that signal reaches it (then
// exits 3), prints "agent started" and waits for a signal.
std::string waitingAgentScript();

// The arguments recorded by the recording agent; empty when it did not run.
std::vector<std::string> recordedArguments(const std::string& recordFile);

// How a user runs the installer: HOME, TMPDIR and the working directory are root/home, root/tmp
// and root/cwd; the recording agent writes to `recordFile`; the download gives up after 5 s of
// silence; nothing of the test's own environment chooses a display, a proxy, the certificates
// trusted, the URL or the language (English, in C.UTF-8). Entries of `extraEnv` replace or add.
RunOptions userRunOptions(const std::string& root, const std::string& recordFile,
                          const std::vector<std::string>& extraEnv = {});

} // namespace qz::test
