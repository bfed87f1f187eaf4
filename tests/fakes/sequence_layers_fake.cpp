#include "process/install_agent_commands.h"
#include "provisioning/install_agent_sourcing.h"

#include "fakes/fakes.h"

namespace qz {

std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                               MessageReporter /*reporter*/, const Settings& /*settings*/) {
    auto& fake = test::fakeSourcing();
    ++fake.calls;
    fake.scratchDirectory = scratchDirectory;
    fake.endpointUrl = endpointUrl;
    return fake.result;
}

bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                              std::string bundleDirectory, int argc, char** argv,
                              MessageReporter /*reporter*/, const Settings& /*settings*/) {
    auto& fake = test::fakeLaunch();
    ++fake.calls;
    fake.program = program;
    fake.commandPrefix = commandPrefix;
    fake.bundleDirectory = bundleDirectory;
    fake.arguments.assign(argv, argv + argc);
    return fake.result;
}

test::FakeSourcing& test::fakeSourcing() {
    static FakeSourcing fake;
    return fake;
}

test::FakeLaunch& test::fakeLaunch() {
    static FakeLaunch fake;
    return fake;
}

} // namespace qz
