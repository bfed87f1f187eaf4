#include "bootstrap/bootstrap_sequence.h"

#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "bootstrap/temp_dir.h"
#include "platform/system/main_bundle.h"
#include "process/install_agent_commands.h"
#include "process/shell.h"
#include "provisioning/endpoint_url_file.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/install_agent_sourcing.h"

#include <cstdlib>

namespace qz {

int extractPayloadToDir(std::string /*directory*/, bool /*flag*/, MessageReporter /*reporter*/) {
    return 0;
}

int bootstrapInstallerMainFunc(int argc, char** argv, MessageReporter reporter,
                               const Settings& settings) {
    TempDir tempDir("tmp_install_dir");
    std::string scratch = tempDir.getDir();
    if (scratch.empty() || std::getenv("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__") != nullptr) {
        scratch = getDirectoryOfExecutable(settings);
    }
    const std::string bundleLocation = getBundleLocation(settings);

    const int code = extractPayloadToDir(scratch, false, reporter);
    if (code != 0) {
        reporter(
            formatText(_("Internal error: Failed to initialize application installer (%d)"), code),
            true);
        return -1;
    }

    const std::string urlFile = bundleLocation + PATH_SEPARATOR + "installAgentURL.txt";
    const std::string endpointUrl = readEndpointUrlFile(urlFile, reporter);

    const std::string installAgent = sourceInstallAgent(scratch, endpointUrl, reporter, settings);
    if (installAgent.empty()) {
        return -1;
    }

    const std::string launchCommand = "sh " + smart_quote(installAgent);
    if (!fireInstallAgentWithArgs(installAgent, launchCommand, bundleLocation, argc, argv, reporter,
                                  settings)) {
        reporter(_("Failed to start the install agent"), true);
        return -1;
    }
    return 0;
}

} // namespace qz
