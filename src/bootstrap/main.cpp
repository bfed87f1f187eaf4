#include "base/settings.h"
#include "base/translation.h"
#include "bootstrap/bootstrap_sequence.h"
#include "bootstrap/message_reporter.h"
#include "platform/system/main_bundle.h"
#include "process/termination_forwarding.h"

#include <csignal>

// make-installer recognises this program by this text; the empty asm keeps it in the program
// when the linker drops what nothing uses.
constexpr char PROGRAM_MARKER[] =
    "velmor-bootstrapper: the program that starts a Velmor install agent";

int main(int argc, char** argv) {
    asm volatile("" : : "r"(PROGRAM_MARKER));
    // Before any other thread can run: the settings may change the environment, and the locale
    // is set for the whole process. The catalogs are found through the settings' executable.
    qz::runSettings();
    qz::platform::startTranslations();
    const int result = qz::bootstrapInstallerMainFunc(argc, argv, qz::report_message_main);
    if (result != 0) {
        qz::report_message_main(qz::_("Installation failed."), true);
    }
    // Asked to end while the install agent ran: now that it has ended and the scratch directory is
    // gone, end the way that signal ends a process.
    if (const int endedBy = qz::forwardedTerminationSignal()) {
        std::signal(endedBy, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, endedBy);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        std::raise(endedBy);
    }
    return result;
}
