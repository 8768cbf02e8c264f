// Sharing modes between real processes: the lock holder is a forked child.
#include <gtest/gtest.h>

#include "platform/shared_file.h"
#include "platform/whole_file.h"
#include "support/lock_holder.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

TEST(Sharing, SharedHolderBlocksExclusiveButLetsReadersIn) {
    TempDir dir;
    std::string path = dir.file("counter.txt");
    writeBytes(path, "41");
    LockHolder holder(path, SharedFile::Lock::Shared);
    ASSERT_TRUE(holder.holding());
    EXPECT_THROW(SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Exclusive),
                 SharingViolation);
    EXPECT_EQ(ReadFileToString(path), "41");
}

TEST(Sharing, ExclusiveHolderBlocksReadersAndWriters) {
    TempDir dir;
    std::string path = dir.file("log.txt");
    writeBytes(path, "old");
    LockHolder holder(path, SharedFile::Lock::Exclusive);
    ASSERT_TRUE(holder.holding());
    EXPECT_THROW(ReadFileToString(path), SharingViolation);
    EXPECT_THROW(WriteStringToFile("new", path), SharingViolation);
    EXPECT_EQ(readBytes(path), "old");
}

TEST(Sharing, RelockToExclusiveFailsWhileAnotherProcessReads) {
    TempDir dir;
    std::string path = dir.file("counter.txt");
    writeBytes(path, "7");
    auto mine = SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Shared);
    {
        LockHolder reader(path, SharedFile::Lock::Shared);
        ASSERT_TRUE(reader.holding());
        EXPECT_THROW(mine.relock(SharedFile::Lock::Exclusive), SharingViolation);
    }
    mine.relock(SharedFile::Lock::Exclusive);
    mine.rewrite("8");
    mine.close();
    EXPECT_EQ(readBytes(path), "8");
}

TEST(Sharing, RewriteInPlaceCutsToTheNewLength) {
    TempDir dir;
    std::string path = dir.file("counter.txt");
    writeBytes(path, "12345\r\n");
    auto f = SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Exclusive);
    f.rewrite("13");
    f.close();
    EXPECT_EQ(readBytes(path), "13");
}
