#include <gtest/gtest.h>

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
