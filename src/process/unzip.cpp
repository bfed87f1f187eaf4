#include "process/unzip.h"

#include "base/translation.h"
#include "process/shell.h"

#include <exception>
#include <sys/stat.h>
#include <sys/wait.h>

namespace qz {

bool unzipInstallAgent(std::string zipPath, std::string destination, std::string unzipCommand,
                       MessageReporter reporter) {
    struct stat st {};
    if (::stat(zipPath.c_str(), &st) != 0) {
        return false;
    }
    // -P "": an encrypted entry fails at once (as a wrong password does) instead of unzip asking
    // for a password on the terminal and waiting for ever.
    const std::string line = smart_quote(unzipCommand) + " -qq -o -P \"\" " + smart_quote(zipPath) +
                             " -d " + smart_quote(destination);
    int status = -1;
    try {
        // UNZIP and UNZIPOPT add options to unzip, one of which allows writing outside the
        // destination; they must not reach the unzip we run.
        status = call_system(unzipCommand, line, {"UNZIP", "UNZIPOPT"});
    } catch (const std::exception&) {
        return false;
    }
    if (status != 0) {
        // 127 is the shell's status for a command it cannot find: minimal systems have no unzip.
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
            // TRANSLATORS: the first %s is the program, the second the package that has it;
            // both are names that stay as they are.
            reporter(formatText(_("The program %s is needed to unpack the install agent but was "
                                  "not found: install the package %s."),
                                unzipCommand.c_str(), "unzip"),
                     true);
        }
        reporter(_("Failed to unzip the install agent"), true);
        return false;
    }
    return true;
}

} // namespace qz
