#include "base/result.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(Result, AFailureIsToldWithItsArgumentsInTheirPlacesAndTheSystemsReason) {
    errno = ENOENT;
    const Result<int> failed =
        systemFailure(Text::format("%2$s, %1$s", "b", Text::format("[%s]", "a")));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.reason(), "[a], b: No such file or directory");
    EXPECT_EQ(failed.failure().error(), ENOENT);
}

#ifndef NDEBUG
TEST(ResultDeathTest, AResultThatNobodyCheckedEndsTheProgram) {
    EXPECT_DEATH({ const Result<> lost = Failure{"lost"}; }, "a Result left unchecked: lost");
}
#endif

} // namespace
} // namespace qz
