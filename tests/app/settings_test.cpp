#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/settings.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"

using namespace korv;
using korv::test::readBytes;
using korv::test::TempDir;
using korv::test::writeBytes;

TEST(Settings, MissingFileGivesDefaults) {
    TempDir dir;
    Settings s = LoadSettings(dir.file("korvanto.ini"));
    EXPECT_EQ(s.NameOrder, "num3d");
    EXPECT_EQ(s.DefaultImg, "noimg.jpg");
    EXPECT_FALSE(s.ApopFlag);
    EXPECT_EQ(s.Pop3Name, "");
}

TEST(Settings, AbsentKeyGivesDefaultButEmptyValueGivesEmpty) {
    TempDir dir;
    writeBytes(dir.file("k.ini"),
               "[korvanto2]\r\nNameOrder=\r\nPOP3NAME = \"pop.example.jp\" \r\n");
    Settings s = LoadSettings(dir.file("k.ini"));
    EXPECT_EQ(s.NameOrder, "");
    EXPECT_EQ(s.DefaultImg, "noimg.jpg");
    EXPECT_EQ(s.Pop3Name, "pop.example.jp");
}

TEST(Settings, ApopFlagReadsIntegersOnly) {
    struct Row {
        const char* name;
        const char* value;
        bool on;
    } rows[] = {
        {"yes", "yes", false},
        {"zero", "0", false},
        {"hex 0x1", "0x1", true},
        {"two", "2", true},
        {"dollar hex", "$10", true},
        {"empty", "", false},
        {"negative", "-1", true},
        {"trailing junk", "1a", false},
        {"too large", "99999999999", false},
    };
    for (const auto& row : rows) EXPECT_EQ(parseApopFlag(row.value), row.on) << row.name;
}

TEST(Settings, SaveWritesNineKeysInOrderAndKeepsOtherSections) {
    TempDir dir;
    std::string path = dir.file("k.ini");
    writeBytes(path, "[Mine]\r\nKeep=me\r\n");
    Settings s;
    s.ApopFlag = true;
    s.UserID = "ユーザー"_cp;
    SaveSettings(s, path);
    std::string text = readBytes(path);
    EXPECT_NE(text.find("Keep=me"), std::string::npos);
    const char* order[] = {
        "ApopFlag=1", "SmtpName=",  "Pop3Name=",       "MailAddress=",        "UserID=",
        "Password=",  "SessionDB=", "NameOrder=num3d", "DefaultImg=noimg.jpg"};
    std::size_t at = text.find("[KORVANTO2]");
    ASSERT_NE(at, std::string::npos);
    for (const char* key : order) {
        std::size_t next = text.find(key, at);
        ASSERT_NE(next, std::string::npos) << key;
        at = next;
    }
    Settings back = LoadSettings(path);
    EXPECT_TRUE(back.ApopFlag);
    EXPECT_EQ(back.UserID, "ユーザー"_cp);
}

TEST(Settings, FirstStartWritesEveryKeyOwnerOnly) {
    TempDir dir;
    std::string path = dir.file("korvanto.ini");
    SaveSettings(Settings{}, path);
    EXPECT_EQ(readBytes(path),
              "[KORVANTO2]\r\nApopFlag=0\r\nSmtpName=\r\nPop3Name=\r\nMailAddress=\r\nUserID=\r\n"
              "Password=\r\nSessionDB=\r\nNameOrder=num3d\r\nDefaultImg=noimg.jpg\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

const std::string kHandWritten =
    "; by hand\r\n[Other]\r\nPassword=elsewhere\r\n\r\n[korvanto2]\r\napopflag = 0x1\r\n"
    "Pop3Name = \"pop.example.jp\"  \r\nMailAddress='me@example.jp'\r\nUserID=\"  me \"\r\n"
    "Password=secret\r\nPassword=later\r\nnote\r\nSmtpName=\tsmtp\r\nSessionDB=\r\n"
    "NameOrder=num3d\r\nDefaultImg=noimg.jpg\r\n\r\n[KORVANTO2]\r\nPop3Name=second\r\n";

TEST(Settings, FirstSectionAndKeyAreRead) {
    TempDir dir;
    writeBytes(dir.file("k.ini"), kHandWritten);
    Settings s = LoadSettings(dir.file("k.ini"));
    EXPECT_TRUE(s.ApopFlag);
    EXPECT_EQ(s.Pop3Name, "pop.example.jp");
    EXPECT_EQ(s.UserID, "  me ");
    EXPECT_EQ(s.Password, "secret");
}

// A save of what was read leaves every byte; a change touches its own line only.
TEST(Settings, SaveKeepsTheFileAsWritten) {
    auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    struct Row {
        const char* name;
        std::string before, userId, after;
    } rows[] = {
        {"unchanged", kHandWritten, "  me ", kHandWritten},
        {"quoted blanks", kHandWritten, " you", replaced(kHandWritten, "\"  me \"", "\" you\"")},
        {"missing keys, LF", "[KORVANTO2]\nUserID=u\n\n[Other]\nX=1\n", "u",
         "[KORVANTO2]\nUserID=u\nApopFlag=0\nSmtpName=\nPop3Name=\nMailAddress=\nPassword=\n"
         "SessionDB=\nNameOrder=num3d\nDefaultImg=noimg.jpg\n\n[Other]\nX=1\n"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        std::string path = dir.file("k.ini");
        writeBytes(path, row.before);
        Settings s = LoadSettings(path);
        s.UserID = row.userId;
        SaveSettings(s, path);
        EXPECT_EQ(readBytes(path), row.after) << row.name;
        EXPECT_EQ(LoadSettings(path).UserID, row.userId) << row.name;
    }
}
