#include "bootstrap/message_reporter.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(MessageReporter, ErrorsGoToStandardErrorWholeAndOthersToStandardOutput) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    report_message_main("to err", true);
    report_message_main(std::string("nul\0inside", 10), true);
    report_message_main("", true);
    report_message_to_console("to out", false);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("to err\nnul\0inside\n\n", 19));
    EXPECT_EQ(out, "to out\n");
}

} // namespace
} // namespace qz
