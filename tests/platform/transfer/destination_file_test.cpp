#include "platform/transfer/destination_file.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {
namespace {

class DestinationFileTest : public ::testing::Test {
  protected:
    test::ScratchDir scratch;
    const std::string path = scratch / "InstallAgent.zip";
    DestinationFile file;
};

TEST_F(DestinationFileTest, IsCreatedPrivateOnlyWhenOpened) {
    const mode_t previous = ::umask(0);
    file.setPath(path, false);
    EXPECT_FALSE(test::pathExists(path));
    EXPECT_TRUE(file.write("dropped", 7)); // before open(): nothing to write to
    EXPECT_TRUE(file.open());
    ::umask(previous);
    EXPECT_EQ(test::fileMode(path), 0600u);
    EXPECT_TRUE(file.open()); // once only: does not truncate what was written
    EXPECT_TRUE(file.write("kept", 4) && file.open() && file.flush() && file.close());
    EXPECT_EQ(test::readFile(path), "kept");
}

TEST_F(DestinationFileTest, WritesSmallAndLargeBlocksInOrder) {
    std::mt19937 generator(7);
    std::string expected;
    file.setPath(path, false);
    ASSERT_TRUE(file.open());
    for (const std::size_t size : {1u, 16384u, 100000u, 300000u, 5u, 262144u, 262143u, 70000u}) {
        std::string block(size, '\0');
        for (auto& byte : block) {
            byte = static_cast<char>(generator());
        }
        ASSERT_TRUE(file.write(block.data(), block.size()));
        expected += block;
    }
    ASSERT_TRUE(file.flush());
    EXPECT_TRUE(test::readFile(path) == expected);
    EXPECT_TRUE(file.close());
}

TEST_F(DestinationFileTest, CloseDropsWhatIsStillBatched) {
    file.setPath(path, false);
    ASSERT_TRUE(file.open() && file.write("abc", 3) && file.close());
    EXPECT_EQ(test::readFile(path), "");
}

TEST_F(DestinationFileTest, AnExistingFileIsTruncatedOnlyWhenOverwritingIsAllowed) {
    test::writeFile(path, "old content");
    file.setPath(path, false);
    const auto opened = file.open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.reason(), "Could not create the file " + path + ": File exists");
    file.remove(); // not ours: kept
    EXPECT_EQ(test::readFile(path), "old content");

    DestinationFile overwriting;
    overwriting.setPath(path, true);
    ASSERT_TRUE(overwriting.open() && overwriting.write("new", 3) && overwriting.flush());
    EXPECT_EQ(test::readFile(path), "new");
}

TEST_F(DestinationFileTest, RemoveDeletesOnlyTheFileItCreated) {
    file.setPath(path, false);
    ASSERT_TRUE(file.open() && file.close());
    file.remove();
    EXPECT_FALSE(test::pathExists(path));

    DestinationFile replaced;
    replaced.setPath(path, false);
    ASSERT_TRUE(replaced.open() && replaced.close());
    test::writeFile(scratch / "other", "someone else's");
    ASSERT_EQ(::rename((scratch / "other").c_str(), path.c_str()), 0);
    replaced.remove();
    EXPECT_EQ(test::readFile(path), "someone else's");
}

TEST_F(DestinationFileTest, WriteErrorsAreReportedAndADeviceIsNeverDeleted) {
    struct stat device {};
    if (::stat("/dev/full", &device) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    const std::string block(300000, 'x');
    for (const std::size_t size : {std::size_t{10}, block.size()}) {
        SCOPED_TRACE(size);
        DestinationFile full;
        full.setPath("/dev/full", true);
        ASSERT_TRUE(full.open());
        auto written = full.write(block.data(), size);
        if (written) {
            written = full.flush();
        }
        ASSERT_FALSE(written);
        EXPECT_EQ(written.reason(), "Could not write the downloaded file: No space left on device");
        EXPECT_EQ(written.failure().error(), ENOSPC);
        full.close().ignore("the write has failed already");
        full.remove();
        EXPECT_TRUE(test::pathExists("/dev/full"));
    }
}

TEST_F(DestinationFileTest, WithoutAPathNothingIsWritten) {
    EXPECT_TRUE(file.open() && file.write("abc", 3) && file.flush() && file.close());
    file.remove();
    EXPECT_TRUE(test::listDirectory(scratch.path()).empty());
}

} // namespace
} // namespace qz::platform
