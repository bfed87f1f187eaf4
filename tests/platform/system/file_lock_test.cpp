#include "platform/system/file_lock.h"

#include "support/files.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

bool held(const Result<bool>& acquired) {
    return acquired && *acquired;
}

TEST(FileLock, ManyShareItOneHoldsItAloneAndChangesAreInOneStep) {
    test::ScratchDir dir;
    const std::string path = dir / ".lock";
    FileLock a;
    FileLock b;
    ASSERT_TRUE(held(a.tryAcquire(path, FileLock::Mode::Shared)));
    EXPECT_TRUE(held(b.tryAcquire(path, FileLock::Mode::Shared)));
    // Neither can have it alone while the other shares it, and each keeps its share.
    EXPECT_FALSE(held(a.tryAcquire(path, FileLock::Mode::Exclusive)));
    EXPECT_EQ(a.mode(), FileLock::Mode::Shared);
    b.release();
    EXPECT_TRUE(held(a.tryAcquire(path, FileLock::Mode::Exclusive)));
    EXPECT_FALSE(held(b.tryAcquire(path, FileLock::Mode::Shared)));
    EXPECT_TRUE(held(a.tryAcquire(path, FileLock::Mode::Shared)));
    EXPECT_TRUE(held(b.tryAcquire(path, FileLock::Mode::Shared)));
}

TEST(FileLock, ALockKeptUntilExitOutlivesItsObject) {
    test::ScratchDir dir;
    const std::string path = dir / ".lock";
    {
        FileLock kept;
        ASSERT_TRUE(held(kept.tryAcquire(path, FileLock::Mode::Shared)));
        kept.holdUntilExit();
    }
    FileLock other;
    EXPECT_FALSE(held(other.tryAcquire(path, FileLock::Mode::Exclusive)));
}

TEST(FileLock, AnythingButARegularFileIsRefused) {
    test::ScratchDir dir;
    test::makeDirectories(dir / "d");
    FileLock lock;
    EXPECT_FALSE(lock.tryAcquire(dir / "d"));
    EXPECT_FALSE(lock.tryAcquire(dir / "missing/.lock"));
    EXPECT_FALSE(lock.held());
}

} // namespace
} // namespace qz::platform
