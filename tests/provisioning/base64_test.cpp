#include "provisioning/base64.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(Base64, DecodesCanonicalTextOnly) {
    EXPECT_EQ(decodeBase64(""), "");
    EXPECT_EQ(decodeBase64("TWFu"), "Man");
    EXPECT_EQ(decodeBase64("TWE="), "Ma");
    EXPECT_EQ(decodeBase64("TQ=="), "M");
    EXPECT_EQ(decodeBase64("+/+/"), "\xfb\xff\xbf");
    for (const char* bad : {"TWF", "TWFu\n", "TW=u", "T===", "TWF*",
                            "TR==", "TWF=", "====", " TWFu", "TWFu====", "-_-_"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(decodeBase64(bad), std::nullopt);
    }
}

} // namespace
} // namespace qz
