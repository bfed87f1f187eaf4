#include "bootstrap/installer_constants.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(InstallerConstants, CachePathIsComposedRelativeAndEndsInASeparator) {
    EXPECT_EQ(INSTALL_AGENT_CACHE_SUBDIR, ".velmor/app_installer_cache/V1904c/maci64/");
    EXPECT_EQ(INSTALL_AGENT_CACHE_SUBDIR.size(), 42u);
    EXPECT_EQ(INSTALL_AGENT_CACHE_SUBDIR + INSTALL_AGENT_DIR,
              ".velmor/app_installer_cache/V1904c/maci64/installagent");
    EXPECT_EQ(INSTALL_AGENT_ZIP, "InstallAgent.zip");
    EXPECT_EQ(VALIDATION_STRING_FILE, ".validatestring");
}

} // namespace
} // namespace qz
