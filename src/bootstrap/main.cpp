#include "base/settings.h"
#include "base/translation.h"
#include "bootstrap/bootstrap_sequence.h"
#include "bootstrap/message_reporter.h"
#include "platform/system/carried_resources.h"
#include "platform/system/child_processes.h"
#include "platform/system/main_bundle.h"

#include <cstdlib>

// make-installer recognises this program by this text; the empty asm keeps it in the program
// when the linker drops what nothing uses.
constexpr char PROGRAM_MARKER[] =
    "velmor-bootstrapper: the program that starts a Velmor install agent";

namespace {

// The run's settings. With a display, GDK_GL is set so that GDK does not load an OpenGL renderer
// that the window never uses, and hidden again from the programs we start.
qz::Settings readSettings() {
    qz::Settings settings = qz::Settings::read([](const char* name) { return std::getenv(name); });
    settings.executablePath = qz::runningExecutablePath();
    settings.carriesResources = qz::platform::carriesResources(settings.executablePath);
    if (settings.display && std::getenv("GDK_GL") == nullptr &&
        ::setenv("GDK_GL", "disable", 1) == 0) {
        settings.hiddenEnvironment.push_back("GDK_GL");
    }
    return settings;
}

} // namespace

int main(int argc, char** argv) {
    asm volatile("" : : "r"(PROGRAM_MARKER));
    // Before any other thread can run: the settings change the environment, and the locale is
    // set for the whole process. The catalogs are found through the settings' executable.
    const qz::Settings settings = readSettings();
    qz::platform::startTranslations(settings);
    const int result =
        qz::bootstrapInstallerMainFunc(argc, argv, qz::report_message_main, settings);
    if (result != 0) {
        qz::report_message_main(qz::_("Installation failed."), true);
    }
    // Asked to end while the install agent ran: now that it has ended and the scratch directory is
    // gone, end the way that signal ends a process.
    qz::platform::endAsThePassedOnSignalDoes();
    return result;
}
