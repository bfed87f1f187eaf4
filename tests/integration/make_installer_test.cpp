#include "platform/system/blake2b.h"
#include "provisioning/install_agent_signature.h"
#include "support/files.h"
#include "support/http_test_server.h"
#include "support/installer_folder.h"
#include "support/minisign_keys.h"
#include "support/subprocess.h"
#include "support/translations.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace qz {
namespace {

using Lines = std::vector<std::string>;

// A release engineer's input: an install agent folder, a product archive, a splash image (as far
// as the tool looks: a PNG's signature and header) and two key pairs (the one in use and the next
// one), in a folder of their own.
class MakeInstaller : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        keysDir = new test::ScratchDir;
        current = test::makeMinisignKeys(keysDir->path(), "current");
        next = test::makeMinisignKeys(keysDir->path(), "next");
    }
    static void TearDownTestSuite() {
        delete keysDir;
    }

    void SetUp() override {
        for (const char* d : {"home", "tmp", "cwd", "release/agent/lib"}) {
            test::makeDirectories(root / d);
        }
        test::writeFile(root / "release/agent/install", test::recordingAgentScript(), 0755);
        test::writeFile(root / "release/agent/lib/data", "agent data");
        test::writeZip(root / "release/bundle.zip", {{"product", "the product"}});
        test::writeFile(root / "release/splash.png",
                        std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01", 24));
    }

    // The tool with the release's input, signing with the current key, and `extra` arguments.
    test::RunResult make(const Lines& extra, bool withBootstrapper = true,
                         const test::RunOptions& options = {}) {
        Lines args = {
            "--agent",      root / "release/agent", "--product",    root / "release/bundle.zip",
            "--secret-key", current.secretKey,      "--public-key", current.publicKey,
            "--public-key", next.publicKey,         "--version",    "5"};
        if (withBootstrapper) {
            args.insert(args.end(), {"--bootstrapper", test::builtBootstrapper()});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return test::runProgram(QZ_MAKE_INSTALLER_PATH, args, options);
    }

    test::RunResult runInstaller(const std::string& executable) {
        return test::runProgram(executable, {"--go"},
                                test::userRunOptions(root.path(), root / "record"));
    }

    static inline test::ScratchDir* keysDir = nullptr;
    static inline test::MinisignKeys current;
    static inline test::MinisignKeys next;
    test::ScratchDir root;
};

TEST_F(MakeInstaller, BothLayoutsCarryASignedAgentThatTheBootstrapperStarts) {
    const std::pair<std::string, std::string> layouts[] = {
        {root / "Installer", root / "Installer/setup"},
        {root / "Velmor Setup.app", root / "Velmor Setup.app/Contents/MacOS/Velmor Setup"},
    };
    for (const auto& [output, executable] : layouts) {
        SCOPED_TRACE(output);
        const auto made =
            make({"--embed", "--splash", root / "release/splash.png", "--output", output});
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        EXPECT_EQ(made.errLines(), Lines{"make-installer: warning: the splash image is never "
                                         "shown by an installer made with --embed"});
        const std::string resources =
            output.ends_with(".app") ? output + "/Contents/Resources" : output;
        Lines expected = {"InstallAgent.zip", "InstallAgent.zip.minisig", "bundle.zip",
                          "installAgentKey.pub", "splash.png"};
        if (resources == output) {
            expected.insert(expected.end() - 1, "setup");
        }
        EXPECT_EQ(test::listDirectory(resources), expected);
        const auto result = runInstaller(executable);
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "agent ran\n");
        const auto received = test::recordedArguments(root / "record");
        EXPECT_EQ(Lines(received.begin() + 1, received.end()),
                  (Lines{"-installbundle", resources + "/bundle.zip", "--go"}));
    }
}

TEST_F(MakeInstaller, ADownloadingInstallerAndTheSignedFilesToPublish) {
    test::HttpTestServer server;
    const std::string url = server.url("/agents/InstallAgent.zip");
    const auto made =
        make({"--url", url, "--publish", root / "publish", "--output", root / "Installer"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(test::listDirectory(root / "Installer"),
              (Lines{"bundle.zip", "installAgentKey.pub", "installAgentURL.txt",
                     "installerSettings.txt", "setup"}));
    EXPECT_EQ(test::readFile(root / "Installer/installAgentURL.txt"), url + "\n");
    EXPECT_EQ(test::readFile(root / "Installer/installerSettings.txt"), "download: resilient\n");
    EXPECT_EQ(test::listDirectory(root / "publish"),
              (Lines{"InstallAgent.zip", "InstallAgent.zip.minisig"}));

    // What the installer will check: both keys, and a signature of the published archive.
    const auto keys = installAgentKeys(root / "Installer");
    ASSERT_TRUE(keys) << keys.reason();
    ASSERT_TRUE(*keys);
    EXPECT_EQ((*keys)->size(), 2u);
    const auto vouched =
        VouchedArchive::check(**keys, test::readFile(root / "publish/InstallAgent.zip.minisig"),
                              archiveNameOfUrl(url), {});
    ASSERT_TRUE(vouched) << vouched.reason();
    EXPECT_EQ(vouched->version(), 5u);
    EXPECT_TRUE(vouched->comment().timestamp);
    const auto archive = platform::hashFile(root / "publish/InstallAgent.zip");
    ASSERT_TRUE(archive);
    EXPECT_TRUE(vouched->checkArchive(archive->digest, archive->length));

    // `install` at the top of the archive.
    const auto listing = test::runProgram("unzip", {"-Z1", root / "publish/InstallAgent.zip"});
    EXPECT_EQ(listing.out, "install\nlib/\nlib/data\n");
}

// One key signs two products; each has its own floor, and a release needs no new installer.
TEST_F(MakeInstaller, OneKeyForTwoProductsEachReleasedOnItsOwn) {
    test::HttpTestServer server;
    test::makeDirectories(root / "server");
    server.setDirectory(root / "server");
    const auto installer = [&](const std::string& product, const std::string& version) {
        const auto made =
            make({"--url", server.url("/" + product + "/InstallAgent.zip"), "--publish",
                  root / ("server/" + product), "--version", version, "--output", root / product});
        EXPECT_EQ(made.exitStatus, 0) << made.err;
    };
    const auto release = [&](const std::string& product, const std::string& version) {
        const auto published =
            test::runProgram(QZ_MAKE_INSTALLER_PATH,
                             {"--agent", root / "release/agent", "--url",
                              server.url("/" + product + "/InstallAgent.zip"), "--publish",
                              root / ("server/" + product), "--secret-key", current.secretKey,
                              "--public-key", current.publicKey, "--version", version});
        EXPECT_EQ(published.exitStatus, 0) << published.err;
        EXPECT_EQ(test::listDirectory(root / ("server/" + product)),
                  (Lines{"InstallAgent.zip", "InstallAgent.zip.minisig"}));
    };
    installer("a", "45");
    installer("b", "1");
    const auto run = [&](const std::string& product) {
        return runInstaller(root / (product + "/setup"));
    };
    EXPECT_EQ(run("a").exitStatus, 0);
    EXPECT_EQ(run("b").exitStatus, 0); // not held to product a's version 45
    release("b", "2");
    EXPECT_EQ(run("b").exitStatus, 0);
    // Each product's own rollback, and the other product's agent, are refused.
    const std::string product = server.url("/b/InstallAgent.zip").substr(7);
    const std::pair<std::string, std::string> refusals[] = {
        {"1", "it is version 1, older than version 2 installed before."},
        {"", "its signature is for another product, " + product + "."}};
    for (const auto& [version, reason] : refusals) {
        SCOPED_TRACE(reason);
        if (version.empty()) {
            std::filesystem::copy(root / "server/b", root / "server/a",
                                  std::filesystem::copy_options::overwrite_existing |
                                      std::filesystem::copy_options::recursive);
        } else {
            release("b", version);
        }
        const auto refused = run(version.empty() ? "a" : "b");
        EXPECT_EQ(refused.exitStatus, 255);
        EXPECT_NE(refused.err.find("is not trusted: " + reason), std::string::npos) << refused.err;
    }
}

// The installer speaks the languages of the catalogs it is given; a folder without any is refused.
TEST_F(MakeInstaller, TheInstallerCarriesTheCatalogsItIsGiven) {
    const auto made = make({"--embed", "--translations", test::builtCatalogs(), "--output",
                            root / "Velmor Setup.app"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    const std::string locale = root / "Velmor Setup.app/Contents/Resources/locale";
    EXPECT_EQ(test::listDirectory(locale), (Lines{"de", "fr"}));
    for (const char* language : {"de", "fr"}) {
        const std::string catalog =
            std::string("/") + language + "/LC_MESSAGES/" + "velmor-bootstrapper.mo";
        EXPECT_EQ(test::readFile(locale + catalog),
                  test::readFile(test::builtCatalogs() + catalog));
    }

    const auto refused =
        make({"--embed", "--translations", root / "release", "--output", root / "Installer"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.errLines(), Lines{"make-installer: the folder " + root / "release" +
                                        " holds no catalogs */LC_MESSAGES/velmor-bootstrapper.mo"});
    EXPECT_FALSE(test::pathExists(root / "Installer"));
}

// The folder zipped and signed is the one named, whatever `cd` would look up instead: CDPATH's
// folders, or the last folder for "-".
TEST_F(MakeInstaller, TheArchiveHoldsTheAgentFolderNamed) {
    test::makeDirectories(root / "decoy/release/agent");
    test::writeFile(root / "decoy/release/agent/install", "#!/bin/sh\n", 0755);
    test::writeFile(root / "decoy/release/agent/private", "a secret");
    test::makeDirectories(root / "cwd/-");
    test::writeFile(root / "cwd/-/install", "#!/bin/sh\n", 0755);
    const struct {
        std::string agent, cwd, env, listing;
    } cases[] = {
        {"release/agent", root.path(), "CDPATH=" + root / "decoy", "install\nlib/\nlib/data\n"},
        {"-", root / "cwd", "OLDPWD=" + root / "decoy/release/agent", "install\n"},
    };
    for (const auto& [agent, cwd, env, listing] : cases) {
        SCOPED_TRACE(env);
        test::removeTree(root / "Out");
        test::RunOptions options;
        options.setEnv = {env};
        options.workingDirectory = cwd;
        ASSERT_EQ(
            make({"--agent", agent, "--embed", "--output", root / "Out"}, true, options).exitStatus,
            0);
        EXPECT_EQ(test::runProgram("unzip", {"-Z1", root / "Out/InstallAgent.zip"}).out, listing);
    }
}

TEST_F(MakeInstaller, BadInputIsNamedAndLeavesNothing) {
    test::makeDirectories(root / "release/empty");
    test::writeFile(root / "Taken", "someone's file");
    test::installCatalogs(test::builtCatalogs(), root / "release");
    test::writeCatalog(root / "release/bad", "de",
                       {{"The installer's key file %s is unusable: %s.", "%s %p %s"}});
    const auto key = test::readFile(current.secretKey);
    test::writeFile(root / "release/locked.key",
                    test::withLine(key, 2, "RWRT" + test::lineOf(key, 2).substr(4)));
    const std::string tool = "make-installer: ";
    const std::pair<Lines, std::string> cases[] = {
        {{"--agent", root / "release/empty", "--embed", "--output", root / "Out"},
         tool + "the install agent folder " + root / "release/empty" +
             " has no file 'install' at its top"},
        {{"--product", root / "release/missing.zip", "--embed", "--output", root / "Out"},
         tool + "the product archive " + root / "release/missing.zip" +
             " is missing or unreadable"},
        {{"--secret-key", root / "release", "--embed", "--output", root / "Out"},
         tool + "the secret key " + root / "release" + " is missing or unreadable"},
        {{"--secret-key", next.secretKey, "--public-key", next.publicKey, "--embed", "--output",
          root / "Out.app"},
         ""}, // control: the next key alone works
        {{"--version", "5a", "--embed", "--output", root / "Out"},
         tool + "the version 5a is not a whole number"},
        {{"--embed", "--output", root / "Taken"},
         tool + root / "Taken" + " already exists: remove it or choose another --output"},
        {{"--agent", root / "release/bundle.zip", "--embed", "--output", root / "Out"},
         tool + "the install agent " + root / "release/bundle.zip" +
             " is a file: --agent takes the folder that becomes the archive"},
        {{"--product", root / "release/splash.png", "--embed", "--output", root / "Out"},
         tool + "the product archive " + root / "release/splash.png" +
             " is not a zip archive that unzip can read"},
        {{"--splash", root / "release/bundle.zip", "--embed", "--output", root / "Out"},
         tool + "the splash image " + root / "release/bundle.zip" +
             " cannot be shown: it is not a PNG image"},
        {{"--bootstrapper", "/bin/true", "--embed", "--output", root / "Out"},
         tool + "/bin/true is not the Velmor bootstrapper program (give it with --bootstrapper)"},
        {{"--secret-key", root / "release/locked.key", "--embed", "--output", root / "Out"},
         tool + "the secret key " + root / "release/locked.key" +
             " has a password and there is no terminal to type it: run make-installer on a "
             "terminal, or make a key without one with 'minisign -G -W'"},
        {{"--title", "ACME\tInstaller", "--embed", "--output", root / "Out"},
         tool + "the title must not hold control characters"},
        {{"--url", "https://h/", "--publish", root / "publish", "--output", root / "Out"},
         tool + "the URL's path must end in an archive name of letters, digits, '.', '_' or '-'"},
        {{"--splash", root / "release/missing.png", "--embed", "--output", root / "Out"},
         tool + "the splash image " + root / "release/missing.png" + " is missing or unreadable"},
        {{"--embed", "--output", root / "release/agent/Out"},
         tool + "the output " + root / "release/agent/Out" +
             " lies inside the install agent folder " + root / "release/agent"},
        {{"--url", "https://h/InstallAgent.zip", "--publish", root / "release/agent/lib/pub",
          "--output", root / "Out"},
         tool + "the publish folder " + root / "release/agent/lib/pub" +
             " lies inside the install agent folder " + root / "release/agent"},
        {{"--translations", root / "release/locale", "--embed", "--output",
          root / "release/locale/Out.app"},
         tool + "the output " + root / "release/locale/Out.app" +
             " lies inside the folder of catalogs " + root / "release/locale"},
        {{"--public-key", current.secretKey, "--embed", "--output", root / "Out"},
         tool + "the public key " + current.secretKey +
             " is not a minisign public key: its second line is not the base64 of an Ed25519 "
             "public key"},
        {{"--translations", root / "release/bad", "--embed", "--output", root / "Out"},
         tool + "the catalog " + root / "release/bad" +
             "/de/LC_MESSAGES/velmor-bootstrapper.mo cannot be used: the translation of \"The "
             "installer's key file %s is unusable: %s.\" does not fit it (number of format "
             "specifications in 'msgid' and 'msgstr' does not match)"},
    };
    const auto before = test::listDirectory(root.path());
    for (const auto& [extra, message] : cases) {
        SCOPED_TRACE(message);
        const auto made = make(extra);
        if (message.empty()) {
            EXPECT_EQ(made.exitStatus, 0) << made.err;
            test::removeTree(root / "Out.app");
            continue;
        }
        EXPECT_EQ(made.exitStatus, 1);
        EXPECT_EQ(made.errLines(), Lines{message});
        EXPECT_EQ(test::listDirectory(root.path()), before);
    }
}

// For a web page: the installer in an archive of its one folder, ready to run once unpacked.
TEST_F(MakeInstaller, TheArchiveOfAnInstallerWithItsTitle) {
    ASSERT_EQ(
        make({"--embed", "--archive", "--title", "ACME", "--output", root / "A.app"}).exitStatus,
        0);
    EXPECT_EQ(test::readFile(root / "A.app/Contents/Resources/installerTitle.txt"), "ACME\n");
    test::runProgram("tar", {"-xzf", root / "A.tar.gz", "-C", root / "cwd"});
    EXPECT_EQ(test::listDirectory(root / "cwd"), Lines{"A.app"});
    EXPECT_EQ(runInstaller(root / "cwd/A.app/Contents/MacOS/A").out, "agent ran\n");

    // Packaged by another user (4242 in a user namespace of its own), owned by root all the same.
    const auto packaged = test::runProgram(
        "unshare",
        {"--user", "--map-user=4242", "--map-group=4242", QZ_MAKE_INSTALLER_PATH, "--agent",
         root / "release/agent", "--product", root / "release/bundle.zip", "--bootstrapper",
         test::builtBootstrapper(), "--embed", "--archive", "--output", root / "B"});
    ASSERT_EQ(packaged.exitStatus, 0) << packaged.err;
    const auto listing =
        test::runProgram("tar", {"-tvzf", root / "B.tar.gz", "--numeric-owner"}).out;
    for (const auto& line : test::linesOf(listing)) {
        EXPECT_NE(line.find(" 0/0 "), std::string::npos) << line;
    }
}

TEST_F(MakeInstaller, AnInstallWrittenForAnotherShellIsWarnedAbout) {
    for (const auto& [first, warned] : {std::pair<std::string, std::string>{"#!/bin/bash", "bash"},
                                        {"#!/usr/bin/env zsh", "zsh"},
                                        {"#!/bin/sh -e", ""}}) {
        test::writeFile(root / "release/agent/install", first + "\necho agent ran\n", 0755);
        test::removeTree(root / "Out");
        const auto made = make({"--embed", "--output", root / "Out"});
        EXPECT_EQ(made.exitStatus, 0) << made.err;
        EXPECT_EQ(made.err, warned.empty() ? ""
                                           : "make-installer: warning: install asks for " + warned +
                                                 " in its first line, but the installer runs it "
                                                 "with sh\n");
    }
}

TEST_F(MakeInstaller, ASecretKeyOfNoneOfThePublicKeysLeavesNothing) {
    const auto made = test::runProgram(
        QZ_MAKE_INSTALLER_PATH,
        {"--agent", root / "release/agent", "--product", root / "release/bundle.zip", "--url",
         "https://h/InstallAgent.zip", "--publish", root / "publish", "--output",
         root / "Installer", "--bootstrapper", test::builtBootstrapper(), "--secret-key",
         next.secretKey, "--public-key", current.publicKey, "--version", "5"});
    EXPECT_EQ(made.exitStatus, 1);
    EXPECT_EQ(made.errLines(), Lines{"make-installer: the secret key " + next.secretKey +
                                     " belongs to none of the public keys"});
    EXPECT_FALSE(test::pathExists(root / "Installer"));
    EXPECT_FALSE(test::pathExists(root / "publish"));
    EXPECT_EQ(test::listDirectory(root.path()), (Lines{"cwd", "home", "release", "tmp"}));
}

// One executable file, run as users run it, on both paths: signed, speaking the language of the
// catalogs it carries, the product archive readable where the agent is told it lies, and nothing
// left beside it or in TMPDIR.
TEST_F(MakeInstaller, ASingleFileInstallerRunsAsItsFolderDoes) {
    test::HttpTestServer server;
    server.setDirectory(root / "publish");
    test::writeFile(root / "release/agent/install",
                    "unzip -p \"$2\" product\n" + test::recordingAgentScript(), 0755);
    const std::pair<Lines, std::string> cases[] = {
        {{"--embed"}, ""},
        {{"--url", server.url("/InstallAgent.zip"), "--publish", root / "publish"},
         "Das Installationsprogramm wird vorbereitet"},
    };
    for (const auto& [mode, germanLine] : cases) {
        SCOPED_TRACE(mode[0]);
        test::removeTree(root / "Acme-Setup.run");
        Lines extra = mode;
        extra.insert(extra.end(), {"--single-file", "--translations", test::builtCatalogs(),
                                   "--output", root / "Acme-Setup.run"});
        ASSERT_EQ(make(extra).exitStatus, 0);
        const auto before = test::listDirectory(root.path());
        const auto result = test::runProgram(
            root / "Acme-Setup.run", {"--go"},
            test::userRunOptions(root.path(), root / "home/record", {"LANGUAGE=de"}));
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "the productagent ran\n");
        EXPECT_NE(result.err.find(germanLine), std::string::npos) << result.err;
        const auto received = test::recordedArguments(root / "home/record");
        ASSERT_EQ(received.size(), 4u);
        EXPECT_TRUE(received[2].starts_with(root / "tmp/qz")) << received[2];
        EXPECT_TRUE(received[2].ends_with("/installer-resources/bundle.zip")) << received[2];
        EXPECT_EQ(received[3], "--go");
        EXPECT_EQ(test::listDirectory(root.path()), before);
        EXPECT_EQ(test::listDirectory(root / "tmp"), Lines{});
    }
}

// A single-file installer cut short or changed says so and starts nothing.
TEST_F(MakeInstaller, ADamagedSingleFileInstallerStartsNothing) {
    ASSERT_EQ(make({"--embed", "--single-file", "--output", root / "Whole.run"}).exitStatus, 0);
    const std::string whole = test::readFile(root / "Whole.run");
    // Past the program, in the resources.
    const std::size_t resources = test::readFile(test::builtBootstrapper()).size() + 100;
    std::string altered = whole;
    altered[resources] ^= 1;
    const std::pair<std::string, std::string> cases[] = {
        {whole.substr(0, resources), "it is incomplete"},
        {altered, "its contents do not match its checksum"},
    };
    for (const auto& [bytes, why] : cases) {
        SCOPED_TRACE(why);
        test::writeFile(root / "Acme-Setup.run", bytes, 0755);
        const auto result = runInstaller(root / "Acme-Setup.run");
        EXPECT_EQ(result.exitStatus, 255);
        EXPECT_EQ(result.errLines(), (Lines{"The installer " + root / "Acme-Setup.run" +
                                                " is damaged (" + why + "): download it again.",
                                            "Installation failed."}));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(test::listDirectory(root / "tmp"), Lines{});
    }
}

// The release engineer's installation: the bootstrapper and the tool side by side, the tool
// finding that bootstrapper by itself.
TEST_F(MakeInstaller, CmakeInstallPutsTheToolBesideTheOneFileBootstrapper) {
    const auto installed =
        test::runProgram("cmake", {"--install", QZ_BUILD_DIR, "--prefix", root / "prefix"});
#ifdef QZ_INSTALL_REFUSED
    EXPECT_NE(installed.exitStatus, 0);
    EXPECT_NE(installed.err.find("Nothing to install from this build"), std::string::npos)
        << installed.err;
#else
    ASSERT_EQ(installed.exitStatus, 0) << installed.err;
    EXPECT_EQ(test::listDirectory(root / "prefix/bin"), (Lines{"bootstrapper", "make-installer"}));
    const auto made =
        test::runProgram(root / "prefix/bin/make-installer",
                         {"--agent", root / "release/agent", "--product",
                          root / "release/bundle.zip", "--embed", "--output", root / "Installer"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(test::readFile(root / "Installer/setup"),
              test::readFile(root / "prefix/bin/bootstrapper"));
    EXPECT_EQ(runInstaller(root / "Installer/setup").out, "agent ran\n");
#endif
}

// Installed where catalogs usually live, and from there into every installer the tool makes.
TEST_F(MakeInstaller, CmakeInstallPutsTheCatalogsWhereTheInstalledToolTakesThem) {
#ifdef QZ_INSTALL_REFUSED
    GTEST_SKIP() << "this build installs nothing";
#else
    const auto installed =
        test::runProgram("cmake", {"--install", QZ_BUILD_DIR, "--prefix", root / "prefix"});
    ASSERT_EQ(installed.exitStatus, 0) << installed.err;
    const std::string catalog = "/de/LC_MESSAGES/velmor-bootstrapper.mo";
    EXPECT_TRUE(test::pathExists(root / "prefix/share/locale" + catalog));
    const auto made =
        test::runProgram(root / "prefix/bin/make-installer",
                         {"--agent", root / "release/agent", "--product",
                          root / "release/bundle.zip", "--embed", "--output", root / "Installer"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(test::readFile(root / "Installer/locale" + catalog),
              test::readFile(test::builtCatalogs() + catalog));
#endif
}

} // namespace
} // namespace qz
