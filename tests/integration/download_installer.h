#pragma once

#include "support/files.h"
#include "support/http_test_server.h"
#include "support/installer_folder.h"
#include "support/subprocess.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace qz::test {

// A downloading installer (no install agent archive in its folder), run as a user runs it, and
// the server it talks to, serving an agent with the ETag "v1" and a 64 KiB payload.
class DownloadInstaller : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* d : {"home", "tmp", "cwd", "outside"}) {
            makeDirectories(root / d);
        }
        installer = makeFlatInstaller(root / "Installer");
        writeFile(installer.resources + "/installAgentURL.txt", server.url() + "\n");
        server.setBody(
            makeAgentZip(recordingAgentScript(), {{"lib/payload", std::string(64 * 1024, 'p')}}));
        server.setETag("\"v1\"");
    }

    RunOptions options(const std::vector<std::string>& extraEnv = {},
                       const std::string& record = "record") const {
        return userRunOptions(root.path(), root / record, extraEnv);
    }

    RunResult run(const std::vector<std::string>& extraEnv = {},
                  const std::vector<std::string>& args = {}) {
        ::unlink((root / "record").c_str());
        return runProgram(installer.executable, args, options(extraEnv));
    }

    std::string cache() const {
        return agentCacheIn(root / "home");
    }

    ScratchDir root;
    HttpTestServer server;
    InstallerFolder installer;
};

} // namespace qz::test
