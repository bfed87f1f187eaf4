// The GTK window as a screen reader reads it: the built program on an X server and a session bus
// of its own, with the accessibility bridge on, read over AT-SPI by a small Python probe.
#include "support/files.h"
#include "support/http_test_server.h"
#include "support/installer_folder.h"
#include "support/minisign_keys.h"
#include "support/subprocess.h"
#include "support/virtual_display.h"
#include "support/zip_builder.h"

#include <csignal>
#include <gtest/gtest.h>
#include <memory>

namespace qz {
namespace {

constexpr double PROBE_TIMEOUT = 9.0;

class Accessibility : public ::testing::Test {
  protected:
    void SetUp() override {
#if !defined(QZ_TEST_HAVE_GTK) || !defined(QZ_ATSPI_PYTHON)
        GTEST_SKIP() << "needs the GTK window, and Python with AT-SPI (python3-gi, "
                        "gir1.2-atspi-2.0)";
#else
        if (!test::findProgram("Xvfb") || !test::findProgram("dbus-daemon")) {
            GTEST_SKIP() << "needs Xvfb and dbus-daemon";
        }
        display = std::make_unique<test::VirtualDisplay>();
        ASSERT_FALSE(display->name().empty()) << display->error();
        // A session bus of our own; it starts the accessibility bus when the program asks, with
        // the bus's environment: a runtime folder of its own keeps the accessibility bus's socket
        // apart from that of a test running beside this one.
        test::makeDirectories(root / "run");
        test::RunOptions busOptions;
        busOptions.setEnv = {"DISPLAY=" + display->name(), "XDG_RUNTIME_DIR=" + root / "run"};
        bus = std::make_unique<test::ChildProcess>(
            "dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--print-address=1"},
            busOptions);
        ASSERT_TRUE(bus->waitForOut("\n", 5)) << bus->errSoFar();
        const std::string out = bus->outSoFar();
        busAddress = out.substr(0, out.find('\n'));

        for (const char* d : {"home", "tmp", "cwd"}) {
            test::makeDirectories(root / d);
        }
        installer = test::makeFlatInstaller(root / "Installer");
        test::writeFile(installer.resources + "/installAgentURL.txt", server->url() + "\n");
        // Slow enough to be watched for seconds; the test ends it sooner.
        server->setBody(test::makeAgentZip(test::recordingAgentScript(),
                                           {{"padding.bin", std::string(2 * 1024 * 1024, 'p')}}));
        server->setSlow(16 * 1024, std::chrono::milliseconds(50));
#endif
    }

    void TearDown() override {
        if (bus) {
            // The accessibility bus and its registry end with the session bus they serve.
            bus->signalGroup(SIGTERM);
            bus->waitForExit(5);
        }
    }

    // The same session for the program and the probe; the bridge left on.
    std::vector<std::string> sessionEnv() const {
        return {"DISPLAY=" + display->name(), "DBUS_SESSION_BUS_ADDRESS=" + busAddress};
    }

    test::RunOptions programOptions() const {
        auto options = test::userRunOptions(root.path(), root / "record", sessionEnv());
        options.unsetEnv.insert(options.unsetEnv.end(), {"NO_AT_BRIDGE", "AT_SPI_BUS_ADDRESS"});
        options.timeoutSeconds = 15;
        return options;
    }

    test::RunOptions probeOptions() const {
        test::RunOptions options;
        options.setEnv = sessionEnv();
        options.unsetEnv = {"AT_SPI_BUS_ADDRESS"};
        options.timeoutSeconds = 15;
        return options;
    }

    test::ScratchDir root;
    std::unique_ptr<test::HttpTestServer> server = std::make_unique<test::HttpTestServer>();
    test::InstallerFolder installer;
    std::unique_ptr<test::VirtualDisplay> display;
    std::unique_ptr<test::ChildProcess> bus;
    std::string busAddress;
};

TEST_F(Accessibility, TheBarHasANameAndAValueAndAFailureIsAnnounced) {
#ifdef QZ_ATSPI_PYTHON
    test::ChildProcess program(installer.executable, {}, programOptions());
    test::ChildProcess probe(
        QZ_ATSPI_PYTHON, {QZ_ACCESSIBILITY_PROBE, std::to_string(program.pid())}, probeOptions());

    ASSERT_TRUE(probe.waitForOut("value-changed ", PROBE_TIMEOUT))
        << probe.outSoFar() << probe.errSoFar() << program.errSoFar();
    EXPECT_NE(probe.outSoFar().find("bar Download progress\n"), std::string::npos)
        << probe.outSoFar();

    // The server goes away in the middle of the body: the download fails.
    server.reset();
    EXPECT_TRUE(probe.waitForExit(PROBE_TIMEOUT));
    const std::string read = probe.outSoFar();
    const std::string failure =
        "Error during the download process.\\nSee your system log for more information.\n";
    EXPECT_NE(read.find("failure label " + failure), std::string::npos)
        << read << probe.errSoFar() << program.errSoFar();
    EXPECT_NE(read.find("announced label " + failure), std::string::npos) << read;

    program.signal(SIGTERM);
    EXPECT_EQ(program.wait().exitStatus, 255);
#endif
}

// A signed installer says what it waits for while its signature comes.
TEST_F(Accessibility, TheStatusSaysTheSignatureIsBeingChecked) {
#ifdef QZ_ATSPI_PYTHON
    const auto keys = test::makeMinisignKeys(root.path());
    test::writeFile(installer.resources + "/installAgentKey.pub", test::readFile(keys.publicKey));
    server->setBody("x");
    server->setStallAfter(0);
    test::ChildProcess program(installer.executable, {}, programOptions());
    test::ChildProcess probe(
        QZ_ATSPI_PYTHON, {QZ_ACCESSIBILITY_PROBE, std::to_string(program.pid())}, probeOptions());
    EXPECT_TRUE(probe.waitForOut("status Checking the install agent's signature…\n", PROBE_TIMEOUT))
        << probe.outSoFar() << probe.errSoFar() << program.errSoFar();
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait().exitStatus, 255);
#endif
}

} // namespace
} // namespace qz
