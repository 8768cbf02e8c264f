#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <filesystem>

#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "platform/whole_file.h"
#include "support/temp_dir.h"

using namespace korv;
using korv::test::TempDir;

TEST(WholeFile, RoundTripsEveryByteIncludingZeros) {
    TempDir dir;
    std::string bytes("a\0b\r\n\x81\x40", 7);
    WriteStringToFile(bytes, dir.file("x.bin"));
    EXPECT_EQ(ReadFileToString(dir.file("x.bin")), bytes);
    WriteStringToFile("", dir.file("x.bin"));
    EXPECT_EQ(std::filesystem::file_size(dir.file("x.bin")), 0u);
}

TEST(WholeFile, FailedWriteKeepsTheOldContentAndNamesTheFile) {
    TempDir dir;
    std::string path = dir.file("log.txt");
    WriteStringToFile("old entries", path);
    // A folder in the way of the temporary file's rename target cannot be replaced by a file.
    std::filesystem::create_directory(dir.file("blocked"));
    try {
        WriteStringToFile("new", dir.file("blocked"));
        FAIL() << "writing over a folder succeeded";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("blocked"), std::string::npos);
    }
    try {
        WriteStringToFile("new", dir.file("missing/log.txt"));
        FAIL() << "writing into a missing folder succeeded";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("missing/log.txt"), std::string::npos);
    }
    EXPECT_EQ(ReadFileToString(path), "old entries");
    // No temporary files are left behind.
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2);
}

TEST(WholeFile, PrivateFilesAreOwnerOnlyAndKeepTheirModeOnRewrite) {
    TempDir dir;
    std::string path = dir.file("korvanto.ini");
    WritePrivateStringToFile("[KORVANTO2]\n", path);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    chmod(path.c_str(), 0640);
    WritePrivateStringToFile("[KORVANTO2]\nA=1\n", path);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WholeFile, ReadingAMissingFileNamesIt) {
    TempDir dir;
    try {
        ReadFileToString(dir.file("nothing.txt"));
        FAIL();
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("nothing.txt"), std::string::npos);
    }
}

namespace {
// Lets a write through part way, then refuses the rest with EFBIG.
struct FileSizeLimit {
    rlimit old{};
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small{bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
    }
};
}  // namespace

TEST(WholeFile, AppendAddsAtTheEndAndAFailedAppendLeavesTheFileAsItWas) {
    TempDir dir;
    std::string path = dir.file("log.txt");
    WriteStringToFile("banner", path);
    AppendStringToFile("\r\nline", path);
    EXPECT_EQ(ReadFileToString(path), "banner\r\nline");
    {
        auto reader = SharedFile::open(path, SharedFile::Access::Read, SharedFile::Lock::Shared);
        EXPECT_THROW(AppendStringToFile("x", path), SharingViolation);
    }
    {
        FileSizeLimit limit(20);
        EXPECT_THROW(AppendStringToFile(std::string(100, 'x'), path), FileError);
    }
    EXPECT_EQ(ReadFileToString(path), "banner\r\nline");
    EXPECT_THROW(AppendStringToFile("x", dir.file("missing.txt")), FileError);
}

TEST(WholeFile, ANewFileNeverReplacesOneAndIsNotLeftHalfWritten) {
    TempDir dir;
    WriteNewFile("first", dir.file("header.txt"));
    EXPECT_THROW(WriteNewFile("second", dir.file("header.txt")), FileError);
    EXPECT_EQ(ReadFileToString(dir.file("header.txt")), "first");
    {
        FileSizeLimit limit(20);
        EXPECT_THROW(WriteNewFile(std::string(100, 'x'), dir.file("body.txt")), FileError);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("body.txt")));
}

TEST(WholeFile, AppendingToAFileThatIsNotThereCreatesNothing) {
    TempDir dir;
    EXPECT_FALSE(AppendStringToExistingFile("x", dir.file("log.txt")));
    EXPECT_FALSE(AppendStringToExistingFile("x", dir.file("day/log.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("day")));
    WriteStringToFile("a", dir.file("log.txt"));
    EXPECT_TRUE(AppendStringToExistingFile("b", dir.file("log.txt")));
    EXPECT_EQ(ReadFileToString(dir.file("log.txt")), "ab");
    // Something that is there but cannot be appended to is an error, not a missing file.
    std::filesystem::create_directory(dir.file("folder.txt"));
    EXPECT_THROW(AppendStringToExistingFile("x", dir.file("folder.txt")), FileError);
    // A file where a folder should be: the file looked for is not there.
    EXPECT_FALSE(SharedFile::openIfExists(dir.file("log.txt/inner.txt"), SharedFile::Access::Read,
                                          SharedFile::Lock::Shared));
}

TEST(WholeFile, RewriteKeepsAModeThatTheUmaskWouldNarrow) {
    mode_t mask = umask(0);
    umask(mask);
    if ((mask & 0066) == 0) GTEST_SKIP() << "the umask takes nothing from 0666";
    TempDir dir;
    std::string path = dir.file("shared.txt");
    WriteStringToFile("one", path);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
    chmod(path.c_str(), 0666);
    WriteStringToFile("two", path);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST(Folders, ANewFolderIsMadeOnceWithItsParents) {
    TempDir dir;
    EXPECT_TRUE(createNewFolder(dir.file("20261209/00000")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("20261209/00000")));
    EXPECT_FALSE(createNewFolder(dir.file("20261209/00000")));
    test::writeBytes(dir.file("20261209/00001"), "a file has the name");
    EXPECT_FALSE(createNewFolder(dir.file("20261209/00001")));
    try {
        createNewFolder(dir.file("20261209/00001/inner"));
        FAIL() << "a folder inside a file was made";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("00001/inner"), std::string::npos) << e.what();
    }
}
