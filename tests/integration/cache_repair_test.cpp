#include "integration/download_installer.h"

#include <functional>
#include <sys/stat.h>

namespace qz {
namespace {

class CacheRepair : public test::DownloadInstaller {
  protected:
    // A cache as an older build left it, current for the server's "v1", with these modes.
    void plantAgent(unsigned folderMode, unsigned installMode) {
        test::makeDirectories(cache() + "installagent", 0700);
        test::writeFile(cache() + "installagent/install", "echo planted\n", installMode);
        test::writeFile(cache() + ".validatestring", "\"v1\"", 0600);
        ::chmod((cache() + "installagent").c_str(), folderMode);
    }

    bool othersCanWrite(const std::string& path) const {
        return (test::fileMode(path) & (S_IWGRP | S_IWOTH)) != 0;
    }
};

TEST_F(CacheRepair, WhatOnlyItsModeLetsOthersWriteIsMadeOursAndReused) {
    const mode_t umask = ::umask(002);
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"an archive whose install is group-writable",
         [&] {
             server.setBody(test::makeZip({{"install", "#!/bin/sh\n" + test::recordingAgentScript(),
                                            test::ZipEntry::Kind::File, 0775},
                                           {"lib/", "", test::ZipEntry::Kind::Directory, 0777}}));
         }},
        {"a group-writable install cached before", [&] { plantAgent(0700, 0775); }},
        {"a group-writable agent folder cached before", [&] { plantAgent(0770, 0700); }},
        {"a group-writable lock",
         [&] {
             test::makeDirectories(cache(), 0700);
             test::writeFile(cache() + ".lock", "", 0660);
         }},
    };
    server.setHonourIfNoneMatch(true);
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        test::removeTree(root / "home/.velmor");
        make();
        const auto first = run();
        EXPECT_EQ(first.exitStatus, 0) << first.err;
        EXPECT_EQ(first.out, "agent ran\n");
        EXPECT_EQ(first.err.find("is not used"), std::string::npos) << first.err;
        for (const char* item : {"installagent", "installagent/install", ".lock"}) {
            EXPECT_FALSE(othersCanWrite(cache() + item)) << item;
        }
        // The next run finds the agent current: asked with the ETag, the server sends nothing.
        const auto second = run();
        EXPECT_EQ(second.out, "agent ran\n");
        EXPECT_EQ(second.err.find("is not used"), std::string::npos) << second.err;
        EXPECT_EQ(server.requests().back().header("If-None-Match"), "\"v1\"");
    }
    ::umask(umask);
}

TEST_F(CacheRepair, ALinkedInstallRunsOnlyWhenItStaysInTheAgentsFolder) {
    using Kind = test::ZipEntry::Kind;
    test::writeFile(root / "outside/escape.sh", "echo escaped\n", 0755);
    struct Case {
        std::string what;
        std::vector<test::ZipEntry> entries;
        bool runs;
    };
    const std::vector<Case> cases = {
        {"to a script inside",
         {{"bin/setup.sh", "#!/bin/sh\n" + test::recordingAgentScript(), Kind::File, 0755},
          {"install", "bin/setup.sh", Kind::Symlink}},
         true},
        {"out of the folder", {{"install", root / "outside/escape.sh", Kind::Symlink}}, false},
        {"to nothing", {{"install", "bin/missing", Kind::Symlink}}, false},
    };
    for (const bool bundled : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what + (bundled ? " (bundled)" : " (downloaded)"));
            test::removeTree(root / "home/.velmor");
            const std::string zip = test::makeZip(c.entries);
            const std::string bundle = installer.resources + "/InstallAgent.zip";
            ::unlink(bundle.c_str());
            if (bundled) {
                test::writeFile(bundle, zip);
            } else {
                server.setBody(zip);
            }
            const auto result = run();
            EXPECT_EQ(result.out, c.runs ? "agent ran\n" : "") << result.err;
            EXPECT_EQ(result.exitStatus, c.runs ? 0 : 255) << result.err;
            if (!c.runs) {
                EXPECT_NE(result.err.find(bundled ? "Failed to initialize the install agent."
                                                  : "Failed to unzip the installer."),
                          std::string::npos)
                    << result.err;
            }
        }
    }
}

TEST_F(CacheRepair, ACacheThatTurnsUntrustedMidRunIsNotUnpackedInto) {
    // An unzip that unpacks, then, once, lets others write the cache.
    test::makeDirectories(root / "bin");
    test::writeFile(root / "bin/unzip",
                    "#!/bin/sh\n/usr/bin/unzip \"$@\" || exit $?\nif [ ! -e '" + (root / "spoilt") +
                        "' ]; then : > '" + (root / "spoilt") + "'; chmod 0777 '" +
                        (root / "home/.velmor") + "'; fi\n",
                    0755);
    // With the download that survives the network the archive lies in the cache: it is not
    // unpacked from there either, but downloaded again.
    for (const bool resilient : {false, true}) {
        if (resilient) {
            test::writeFile(installer.resources + "/installerSettings.txt",
                            "download: resilient\n");
            ::chmod((root / "home/.velmor").c_str(), 0700);
            ::unlink((root / "spoilt").c_str());
            test::removeTree(cache());
        }
        const auto result = run({"PATH=" + (root / "bin") + ":" + std::getenv("PATH")});
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "agent ran\n");
        // This run's own archive, unpacked into its own scratch directory.
        const auto args = test::recordedArguments(root / "record");
        ASSERT_FALSE(args.empty());
        EXPECT_TRUE(args[0].starts_with(root / "tmp/qz")) << args[0];
    }
}

} // namespace
} // namespace qz
