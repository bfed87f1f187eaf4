#include "platform/system/blake2b.h"
#include "support/files.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

std::string hex(const Blake2b512Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

// BLAKE2b-512("abc"), from RFC 7693.
const std::string ABC = "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                        "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923";

TEST(Blake2b512, PiecesGiveTheDigestOfTheWhole) {
    Blake2b512 hasher;
    hasher.update("a", 1);
    hasher.update("", 0);
    hasher.update("bc", 2);
    const auto digest = hasher.finish();
    ASSERT_TRUE(digest) << digest.reason();
    EXPECT_EQ(hex(*digest), ABC);
    EXPECT_FALSE(hasher.finish()); // spent
}

TEST(Blake2b512, HashesAFileAndTellsItsLength) {
    test::ScratchDir dir;
    const std::string big(600 * 1024, 'q'); // more than one read
    test::writeFile(dir / "abc", "abc");
    test::writeFile(dir / "big", big);
    const auto abc = hashFile(dir / "abc");
    ASSERT_TRUE(abc) << abc.reason();
    EXPECT_EQ(hex(abc->digest), ABC);
    EXPECT_EQ(abc->length, 3u);
    Blake2b512 whole;
    whole.update(big.data(), big.size());
    const auto bigHash = hashFile(dir / "big");
    ASSERT_TRUE(bigHash);
    EXPECT_EQ(bigHash->digest, *whole.finish());
    EXPECT_EQ(bigHash->length, big.size());
    EXPECT_FALSE(hashFile(dir / "missing"));
}

} // namespace
} // namespace qz::platform
