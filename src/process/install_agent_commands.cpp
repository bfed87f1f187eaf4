#include "process/install_agent_commands.h"

#include "base/settings.h"
#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "platform/system/child_processes.h"
#include "process/shell.h"
#include "process/zip_encryption.h"

#include <exception>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz {
namespace {

// What we set for ourselves only is not theirs either.
std::vector<std::string> withHidden(std::vector<std::string> names, const Settings& settings) {
    names.insert(names.end(), settings.hiddenEnvironment.begin(), settings.hiddenEnvironment.end());
    return names;
}

} // namespace

bool programOnPath(const std::string& program, const Settings& settings) {
    std::string::size_type start = 0;
    for (;;) {
        const auto end = settings.path.find(':', start);
        // An empty entry is the working directory, as for the shell.
        std::string dir = settings.path.substr(start, end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        if (end == std::string::npos) {
            return false;
        }
        start = end + 1;
    }
}

void reportMissingUnzip(const std::string& unzipCommand, MessageReporter reporter) {
    // TRANSLATORS: the first %s is the program, the second the package that has it; both are
    // names that stay as they are.
    reporter(formatText(_("The program %s is needed to unpack the install agent but was not "
                          "found: install the package %s."),
                        unzipCommand.c_str(), "unzip"),
             true);
}

bool unzipInstallAgent(std::string zipPath, std::string destination, std::string unzipCommand,
                       MessageReporter reporter, const Settings& settings) {
    struct stat st {};
    if (::stat(zipPath.c_str(), &st) != 0) {
        return false;
    }
    // An encrypted entry fails at once, as unzip's own failure does, instead of unzip asking for
    // a password on the terminal and waiting for ever.
    if (hasEncryptedEntries(zipPath).value_or(false)) {
        reporter(_("Failed to unzip the install agent"), true);
        return false;
    }
    const std::string line = smart_quote(unzipCommand) + " -qq -o " + smart_quote(zipPath) +
                             " -d " + smart_quote(destination);
    int status = -1;
    try {
        // UNZIP and UNZIPOPT add options to unzip, one of which allows writing outside the
        // destination; they must not reach the unzip we run.
        status = call_system(unzipCommand, line, withHidden({"UNZIP", "UNZIPOPT"}, settings));
    } catch (const std::exception&) {
        return false;
    }
    if (platform::interruptingSignal() != 0) {
        // The user stopped it from the terminal: a cancelled unpack, not a failed one, whatever
        // unzip made of it.
        return false;
    }
    if (status != 0) {
        // 127 is the shell's status for a command it cannot find: minimal systems have no unzip.
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
            reportMissingUnzip(unzipCommand, reporter);
        }
        reporter(_("Failed to unzip the install agent"), true);
        return false;
    }
    return true;
}

bool fireInstallAgentWithArgs(std::string /*program*/, std::string commandPrefix,
                              std::string bundleDirectory, int argc, char** argv,
                              MessageReporter reporter, const Settings& settings) {
    const std::string productArchive = bundleDirectory + PATH_SEPARATOR + "bundle.zip";
    // exec: the shell becomes the install agent (dash does not do so by itself), so a SIGTERM or
    // SIGHUP passed on to our child reaches the agent and not a shell waiting for it.
    std::string line = "exec " + commandPrefix + " -installbundle " + smart_quote(productArchive);
    if (argc >= 2) {
        line += " " + argv2cmdline(argc, argv);
    }
    bool started = false;
    try {
        started = static_cast<bool>(platform::runThroughShell(line, withHidden({}, settings),
                                                              platform::Waiting::AsTheForeground));
    } catch (const std::exception&) {
    }
    // The agent's own exit status is its business; a shell that never started is ours.
    if (!started) {
        reporter(_("Failed to start the install agent"), true);
    }
    return started;
}

} // namespace qz
