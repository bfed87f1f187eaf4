#include "bootstrap/message_reporter.h"

#include "support/message_capture.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(MessageReporter, ErrorsGoToStandardErrorWholeAndOthersToStandardOutput) {
    test::StreamCapture err(STDERR_FILENO);
    test::StreamCapture out(STDOUT_FILENO);
    report_message_main("to err", true);
    report_message_main(std::string("nul\0inside", 10), true);
    report_message_main("", true);
    report_message_to_console("to out", false);
    EXPECT_EQ(out.release(), "to out\n");
    EXPECT_EQ(err.release(), std::string("to err\nnul\0inside\n\n", 19));
}

} // namespace
} // namespace qz
