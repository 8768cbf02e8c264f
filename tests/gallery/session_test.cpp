// Loading an account's session file: key matching, first line wins, checks of folders and files.
#include "gallery/session.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "support/lock_holder.h"
#include "support/named_rows.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

namespace {

// {G} an existing folder, {J} an existing folder named 表 (its second byte is "\"),
// {M} a missing folder, {F} an existing file, all inside the test's temporary folder.
std::string expand(std::string text, const TempDir& dir) {
    const std::pair<std::string, std::string> marks[] = {
        {"{G}", dir.file("gallery")},
        {"{J}", dir.path() + "表"_cp},
        {"{M}", dir.file("missing")},
        {"{F}", dir.file("accept.html")},
    };
    for (const auto& [mark, value] : marks) {
        for (std::size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), value);
    }
    return text;
}

struct SessionRow : NamedRow {
    std::string content;
    SessionRecord expected;
};

class LoadSessionFileTest : public testing::TestWithParam<SessionRow> {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(dir.file("gallery"));
        std::filesystem::create_directory(nativePath(dir.path() + "表"_cp));
        std::filesystem::create_directory(dir.file("sessions"));
        writeBytes(dir.file("accept.html"), "<html>");
    }
    TempDir dir;
};

TEST_P(LoadSessionFileTest, FillsFields) {
    const auto& row = GetParam();
    writeBytes(dir.file("sessions/acme.txt"), expand(row.content, dir));
    SessionRecord SessionSettings = LoadSessionFile(dir.file("sessions/"), "acme");
    const SessionRecord& e = row.expected;
    EXPECT_EQ(SessionSettings.path, expand(e.path, dir));
    EXPECT_EQ(SessionSettings.membersdb, expand(e.membersdb, dir));
    EXPECT_EQ(SessionSettings.nameorder, e.nameorder);
    EXPECT_EQ(SessionSettings.FileNameTemplate, e.FileNameTemplate);
    EXPECT_EQ(SessionSettings.FileNameCounter, e.FileNameCounter);
    EXPECT_EQ(SessionSettings.DefaultImgFile, e.DefaultImgFile);
    EXPECT_EQ(SessionSettings.accepthtml, expand(e.accepthtml, dir));
}

SessionRecord onlyPath(std::string path) {
    SessionRecord r;
    r.path = std::move(path);
    return r;
}

SessionRecord everything() {
    SessionRecord r;
    r.path = "{G}/";
    r.membersdb = "{J}/";
    r.nameorder = " a b ";
    r.FileNameTemplate = "img####";
    r.FileNameCounter = "counter.dat";
    r.DefaultImgFile = "none.jpg";
    r.accepthtml = "{F}";
    return r;
}

SessionRecord templateOnly() {
    SessionRecord r;
    r.FileNameTemplate = "a=b#";
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoadSessionFileTest,
    testing::Values(SessionRow{"PathGetsOneDelimiter", "path={G}\r\n", onlyPath("{G}/")},
                    SessionRow{"PathWithDelimiterKept", "path={G}/\r\n", onlyPath("{G}/")},
                    SessionRow{"PathWithBackslashKept", "path={G}\\\r\n", onlyPath("{G}\\")},
                    SessionRow{"DoubleByteEndIsNoDelimiter", "path={J}\r\n", onlyPath("{J}/")},
                    SessionRow{"EmptyPath", "path=\r\n", {}},
                    SessionRow{"NoPathLine", "nameorder=\r\n", {}},
                    SessionRow{"MissingFolder", "path={M}\r\n", {}},
                    SessionRow{"KeyCaseIgnored", "Path={G}\r\n", onlyPath("{G}/")},
                    SessionRow{"UpperKey", "PATH={G}", onlyPath("{G}/")},
                    SessionRow{"BlankBeforeEqualsIsOtherKey", "path ={G}\r\n", {}},
                    SessionRow{"BlankAfterEqualsBelongsToValue", "path= {G}\r\n", {}},
                    SessionRow{"FirstLineWins", "path={M}\r\npath={G}\r\n", {}},
                    SessionRow{"FirstEmptyLineWins", "path=\r\npath={G}\r\n", {}},
                    SessionRow{"LoneLineFeeds", "x\npath={G}\nFileNameTemplate=a=b#\n",
                               [] {
                                   SessionRecord r = templateOnly();
                                   r.path = "{G}/";
                                   return r;
                               }()},
                    SessionRow{"LoneCarriageReturns", "FileNameTemplate=a=b#\rpath={M}\r",
                               templateOnly()},
                    SessionRow{"AccepthtmlFolderRefused", "accepthtml={G}", {}},
                    SessionRow{"AllSeven",
                               "# comment\r\nmembersdb={J}\r\nnameorder= a b \r\naccepthtml={F}\r\n"
                               "FileNameCounter=counter.dat\r\nDefaultImgFile=none.jpg\r\n"
                               "FileNameTemplate=img####\r\nnoequals\r\npath={G}",
                               everything()}),
    byName);

TEST(LoadSessionFile, MissingFileEmptiesEverything) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("gallery"));
    writeBytes(dir.file("acme.txt"), "path=" + dir.file("gallery") + "\r\nFileNameTemplate=#\r\n");
    ASSERT_EQ(LoadSessionFile(dir.path(), "acme").path, dir.file("gallery/"));
    SessionRecord other = LoadSessionFile(dir.path(), "other");
    EXPECT_EQ(other.path, "");
    EXPECT_EQ(other.FileNameTemplate, "");
    // Neither a folder of the file's name nor a file where the session folder should be is one.
    std::filesystem::create_directory(dir.file("folder.txt"));
    EXPECT_EQ(LoadSessionFile(dir.path(), "folder").path, "");
    EXPECT_EQ(LoadSessionFile(dir.file("acme.txt/"), "acme").path, "");
}

TEST(LoadSessionFile, SessionDBWithoutDelimiterIsAPrefix) {
    TempDir dir;
    writeBytes(dir.file("sessionsacme.txt"), "nameorder=prefix");
    EXPECT_EQ(LoadSessionFile(dir.file("sessions"), "acme").nameorder, "prefix");
}

TEST(LoadSessionFile, AccountNamesWithBlanksAndDoubleBytesAreUsedUnaltered) {
    TempDir dir;
    writeBytes(dir.file(" acme.txt"), "nameorder=blank");
    EXPECT_EQ(LoadSessionFile(dir.path(), " acme").nameorder, "blank");
    writeBytes(nativePath(dir.path() + "表.txt"_cp).string(), "nameorder=kanji");
    EXPECT_EQ(LoadSessionFile(dir.path(), "表"_cp).nameorder, "kanji");
}

// Each name would reach a session file planted where it leads; none may be loaded.
TEST(LoadSessionFile, AccountNamesThatLeaveTheFolderHaveNoSessionFile) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("s/sub"));
    const char* planted[] = {"evil.txt", "s/sub/x.txt", "s/..txt",
                             "s/...txt", "s/a\x01.txt", "s/a:b.txt"};
    for (const char* file : planted) writeBytes(dir.file(file), "nameorder=loaded");
    const std::string accounts[] = {"../evil", "sub/x", "sub\\x", ".", "..", "a\x01", "a:b"};
    for (const auto& account : accounts) {
        SCOPED_TRACE(account);
        EXPECT_EQ(LoadSessionFile(dir.file("s/"), account).nameorder, "");
    }
}

TEST(LoadSessionFile, FileHeldByAWriterFails) {
    TempDir dir;
    writeBytes(dir.file("acme.txt"), "nameorder=x");
    LockHolder writer(dir.file("acme.txt"), SharedFile::Lock::Exclusive);
    ASSERT_TRUE(writer.holding());
    EXPECT_THROW(LoadSessionFile(dir.path(), "acme"), FileError);
}

}  // namespace
