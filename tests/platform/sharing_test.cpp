// Sharing modes between real processes: the lock holder is a forked child.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/shared_file.h"
#include "platform/whole_file.h"
#include "support/temp_dir.h"

using namespace korv;
using korv::test::TempDir;

namespace {

// A child process that opens the file with the given lock, tells the parent, and holds it until
// the parent closes the pipe.
class Holder {
  public:
    Holder(const std::string& path, SharedFile::Lock lock) {
        int ready[2], release[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(release), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            char ok = '1';
            try {
                auto f = SharedFile::open(path, SharedFile::Access::ReadWrite, lock);
                (void)!write(ready[1], &ok, 1);
                char c;
                (void)!read(release[0], &c, 1);
            } catch (...) {
                ok = '0';
                (void)!write(ready[1], &ok, 1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        EXPECT_EQ(c, '1') << "the holder could not open the file";
    }
    ~Holder() {
        close(release_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
};

}  // namespace

TEST(Sharing, SharedHolderBlocksExclusiveButLetsReadersIn) {
    TempDir dir;
    std::string path = dir.file("counter.txt");
    korv::test::writeBytes(path, "41");
    Holder holder(path, SharedFile::Lock::Shared);
    EXPECT_THROW(SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Exclusive),
                 SharingViolation);
    EXPECT_EQ(ReadFileToString(path), "41");
}

TEST(Sharing, ExclusiveHolderBlocksReadersAndWriters) {
    TempDir dir;
    std::string path = dir.file("log.txt");
    korv::test::writeBytes(path, "old");
    Holder holder(path, SharedFile::Lock::Exclusive);
    EXPECT_THROW(ReadFileToString(path), SharingViolation);
    EXPECT_THROW(WriteStringToFile("new", path), SharingViolation);
    EXPECT_EQ(korv::test::readBytes(path), "old");
}

TEST(Sharing, RelockToExclusiveFailsWhileAnotherProcessReads) {
    TempDir dir;
    std::string path = dir.file("counter.txt");
    korv::test::writeBytes(path, "7");
    auto mine = SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Shared);
    {
        Holder reader(path, SharedFile::Lock::Shared);
        EXPECT_THROW(mine.relock(SharedFile::Lock::Exclusive), SharingViolation);
    }
    mine.relock(SharedFile::Lock::Exclusive);
    mine.rewrite("8");
    mine.close();
    EXPECT_EQ(korv::test::readBytes(path), "8");
}

TEST(Sharing, RewriteInPlaceCutsToTheNewLength) {
    TempDir dir;
    std::string path = dir.file("counter.txt");
    korv::test::writeBytes(path, "12345\r\n");
    auto f = SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Exclusive);
    f.rewrite("13");
    f.close();
    EXPECT_EQ(korv::test::readBytes(path), "13");
}
