#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

using namespace korv;
using korv::test::readBytes;
using korv::test::TempDir;
using korv::test::writeBytes;

TEST(Profile, ReadsByTheWindowsRules) {
    TempDir dir;
    std::string path = dir.file("p.ini");
    std::string longValue(3000, 'x');
    writeBytes(path,
               "[Other]\r\nName=elsewhere\r\n[KORVANTO2]\r\n"
               "pop3name =  mail.example.jp  \r\n"
               "Quoted=\"  spaced  \"\r\n"
               "Single='one'\r\n"
               "Half=\"open\r\n"
               "Empty=\r\n"
               "Long=" +
                   longValue + "\r\n");
    ProfileFile ini(path);
    std::string v;
    EXPECT_EQ(ini.get("korvanto2", "Pop3Name", "?"), "mail.example.jp");
    EXPECT_EQ(ini.get("KORVANTO2", "Quoted", "?"), "  spaced  ");
    EXPECT_EQ(ini.get("KORVANTO2", "Single", "?"), "one");
    EXPECT_EQ(ini.get("KORVANTO2", "Half", "?"), "\"open");
    EXPECT_TRUE(ini.get("KORVANTO2", "Empty", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(ini.get("KORVANTO2", "Absent", v));
    EXPECT_EQ(ini.get("KORVANTO2", "Name", "default"), "default");
    EXPECT_EQ(ini.get("KORVANTO2", "Long", "").size(), kProfileValueLimit);
}

TEST(Profile, WritingKeepsOtherSectionsKeysAndOrder) {
    TempDir dir;
    std::string path = dir.file("p.ini");
    writeBytes(path,
               "; hand-written\n[Other]\nName=elsewhere\n[KORVANTO2]\nUserID=old\nExtra=keep\n");
    ProfileFile ini(path);
    ini.set("KORVANTO2", "userid", "新しい"_cp);
    ini.set("KORVANTO2", "Added", "1");
    ini.save();
    std::string text = readBytes(path);
    EXPECT_NE(text.find("; hand-written"), std::string::npos);
    EXPECT_NE(text.find("Name=elsewhere"), std::string::npos);
    EXPECT_NE(text.find("Extra=keep"), std::string::npos);
    EXPECT_NE(text.find("=" + "新しい"_cp), std::string::npos);
    EXPECT_LT(text.find("Extra=keep"), text.find("Added=1"));
    EXPECT_EQ(ProfileFile(path).get("KORVANTO2", "UserID", ""), "新しい"_cp);
}

TEST(Profile, UnwritableFileIsNamedInTheError) {
    TempDir dir;
    std::string path = dir.file("sub");
    writeBytes(path, "a file where a folder should be");
    ProfileFile ini(dir.file("sub/p.ini"));
    ini.set("KORVANTO2", "A", "1");
    try {
        ini.save();
        FAIL();
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("sub/p.ini" + " に書き込めません"_cp),
                  std::string::npos);
    }
}
