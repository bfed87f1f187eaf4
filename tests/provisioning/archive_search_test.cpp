#include "provisioning/install_agent_sourcing.h"

#include "support/files.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(FindInstallAgentArchive, MatchesPrefixAndSuffixExactly) {
    test::ScratchDir dir;
    for (const char* name : {"installagent_x.zip", "InstallAgent_x.ZIP", "xInstallAgent_y.zip",
                             "InstallAgent_x.zip.part", "InstallAgent.zip2", "InstallAgent_.zi"}) {
        test::writeFile(dir / name, "");
    }
    EXPECT_EQ(findInstallAgentArchive(dir.path()), "");
    test::writeFile(dir / "InstallAgent_.zip", "");
    EXPECT_EQ(findInstallAgentArchive(dir.path()), dir / "InstallAgent_.zip");
}

TEST(FindInstallAgentArchive, ADirectoryWithAMatchingNameCountsToo) {
    test::ScratchDir dir;
    test::makeDirectories(dir / "InstallAgent_dir.zip");
    EXPECT_EQ(findInstallAgentArchive(dir.path()), dir / "InstallAgent_dir.zip");
}

TEST(FindInstallAgentArchive, AnUnreadableDirectoryHasNoMatch) {
    EXPECT_EQ(findInstallAgentArchive(""), "");
    EXPECT_EQ(findInstallAgentArchive("/nonexistent/qz"), "");
}

} // namespace
} // namespace qz
