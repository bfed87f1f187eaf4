#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

struct Settings;

// The layers below that the sequence calls: sourcing and the launch. The program's own run takes
// them as they are; a test stands in for them.
class SequenceLayers {
  public:
    virtual ~SequenceLayers() = default;
    virtual std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                                           MessageReporter reporter, const Settings& settings) = 0;
    virtual bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                                          std::string bundleDirectory, int argc, char** argv,
                                          MessageReporter reporter, const Settings& settings) = 0;
};

// From a fresh scratch directory to a started install agent: 0 when it was started, -1 otherwise.
int bootstrapInstallerMainFunc(int argc, char** argv, MessageReporter reporter,
                               const Settings& settings);
// The same through `layers`.
int bootstrapInstallerMainFunc(int argc, char** argv, MessageReporter reporter,
                               const Settings& settings, SequenceLayers& layers);

// The design's hook for a payload carried by the bootstrapper itself; it does nothing. A
// single-file installer's resources are unpacked before it, as the first step after the scratch
// directory is made, since the bundle they make is read from then on.
int extractPayloadToDir(std::string directory, bool flag, MessageReporter reporter);

} // namespace qz
