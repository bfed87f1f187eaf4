#include "bootstrap/bootstrap_sequence.h"
#include "bootstrap/message_reporter.h"

int main(int argc, char** argv) {
    const int result = qz::bootstrapInstallerMainFunc(argc, argv, qz::report_message_main);
    if (result != 0) {
        qz::report_message_main("Installation failed.", true);
    }
    return result;
}
