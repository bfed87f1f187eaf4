#include "platform/system/child_processes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace qz::platform {
namespace {

// Started from a thread that blocks every signal (as the unpacking worker does), and while the
// foreground wait ignores or passes signals on, a program still gets the signals the process
// started with: it can be ended.
TEST(ChildProcesses, AProgramGetsTheSignalsTheProcessStartedWith) {
    const SignalsBlocked blocked;
    for (const Waiting waiting : {Waiting::LeavingSignals, Waiting::AsTheForeground}) {
        const auto status = runThroughShell("kill -TERM $$; exit 0", {}, waiting);
        ASSERT_TRUE(status) << status.reason();
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    }
}

} // namespace
} // namespace qz::platform
