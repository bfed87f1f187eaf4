#include "bootstrap/bootstrap_sequence.h"

#include "base/path.h"
#include "base/settings.h"
#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "bootstrap/temp_dir.h"
#include "platform/system/abrupt_ending.h"
#include "platform/system/carried_resources.h"
#include "platform/system/main_bundle.h"
#include "process/executable_location.h"
#include "process/install_agent_commands.h"
#include "process/shell.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/install_agent_sourcing.h"

#include <cstdlib>
#include <optional>
#include <utility>

namespace qz {

namespace {

class RealSequenceLayers final : public SequenceLayers {
  public:
    std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                                   MessageReporter reporter, const Settings& settings) override {
        return qz::sourceInstallAgent(std::move(scratchDirectory), std::move(endpointUrl), reporter,
                                      settings);
    }
    bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                                  std::string bundleDirectory, int argc, char** argv,
                                  MessageReporter reporter, const Settings& settings) override {
        return qz::fireInstallAgentWithArgs(std::move(program), std::move(commandPrefix),
                                            std::move(bundleDirectory), argc, argv, reporter,
                                            settings);
    }
};

// The settings for the rest of the run: a single-file installer's resources unpacked into the
// scratch directory are its bundle's from here on, its catalogs too. None when they cannot be.
std::optional<Settings> withCarriedResources(const Settings& settings, const std::string& scratch,
                                             MessageReporter reporter) {
    Settings run = settings;
    if (!settings.carriesResources) {
        return run;
    }
    run.carriedResources = platform::appendPathComponent(scratch, "installer-resources");
    const auto unpacked =
        scratch.empty()
            ? Result<>(Failure{Text::format(N_("No scratch directory could be made"))})
            : platform::unpackCarriedResources(settings.executablePath, run.carriedResources);
    if (!unpacked) {
        reporter(unpacked.shown(), true);
        return std::nullopt;
    }
    platform::bindCatalogs(run);
    return run;
}

} // namespace

int extractPayloadToDir(std::string /*directory*/, bool /*flag*/, MessageReporter /*reporter*/) {
    return 0;
}

int bootstrapInstallerMainFunc(int argc, char** argv, MessageReporter reporter,
                               const Settings& settings) {
    RealSequenceLayers layers;
    return bootstrapInstallerMainFunc(argc, argv, reporter, settings, layers);
}

int bootstrapInstallerMainFunc(int argc, char** argv, MessageReporter reporter,
                               const Settings& givenSettings, SequenceLayers& layers) {
    TempDir tempDir("tmp_install_dir");
    const auto carried = withCarriedResources(givenSettings, tempDir.getDir(), reporter);
    if (!carried) {
        return -1;
    }
    const Settings& settings = *carried;
    // For a run that must end while its thread is stuck, or its display gone.
    platform::prepareAbruptEnding(_("Installation failed."), tempDir.getDir());
    const struct Cleared {
        ~Cleared() {
            platform::clearAbruptEnding();
        }
    } cleared;
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

    const std::string installAgent =
        layers.sourceInstallAgent(scratch, endpointUrl, reporter, settings);
    if (installAgent.empty()) {
        return -1;
    }

    const std::string launchCommand = "sh " + smart_quote(installAgent);
    if (!layers.fireInstallAgentWithArgs(installAgent, launchCommand, bundleLocation, argc, argv,
                                         reporter, settings)) {
        reporter(_("Failed to start the install agent"), true);
        return -1;
    }
    return 0;
}

} // namespace qz
