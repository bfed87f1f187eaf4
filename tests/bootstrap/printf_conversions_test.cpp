#include "bootstrap/printf_conversions.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(PrintfConversions, ATranslationMustTakeTheOriginalsArguments) {
    const struct {
        const char* original;
        const char* translation;
        bool same;
    } cases[] = {
        {"%3.0f%%", "%-'3.1f %%", true},
        {"%s of %s", "%2$s, %1$s", true},
        {"%zu lines", "%1$zu Zeilen", true},
        {"%*d|%.*s", "%*d|%.*s", true},
        {"%s", "%s %s", false},
        {"%s", "%p", false},
        {"%d", "%ld", false},
        {"%zu", "%u", false},
        {"%s %s", "%2$s %2$s", false},
        {"%s %s", "%1$s %s", false},
        {"%d", "%n", false},
        {"%s", "%s %", false},
        {"%s", "%ls", false},
        {"100%", "100%", false},
    };
    for (const auto& [original, translation, same] : cases) {
        EXPECT_EQ(sameConversions(original, translation), same) << original << " / " << translation;
    }
}

} // namespace
} // namespace qz
