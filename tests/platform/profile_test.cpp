#include <gtest/gtest.h>

#include <optional>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

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
    EXPECT_NE(text.find(std::string("=").append("新しい"_cp)), std::string::npos);
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

TEST(Profile, FirstSectionAndKeyWin) {
    struct Row {
        const char* name;
        std::string file, section, key;
        std::optional<std::string> want;
    } rows[] = {
        {"first section", "[K]\r\nA=1\r\n[k]\r\nA=2\r\nB=3\r\n", "K", "A", "1"},
        {"later section unread", "[K]\r\nA=1\r\n[k]\r\nB=3\r\n", "K", "B", std::nullopt},
        {"first key", "[K]\nA=1\n a = 2\n", "K", "a", "1"},
        {"lone CR ends a line", "[K]\rA=1\rB=2", "K", "B", "2"},
        {"keys before any section", "A=0\n\t[ k ] x\nA=1\n", "K", "A", "1"},
        {"bracket as second byte", "[\x83\x5d]\nA=1\n", "\x83\x5d", "A", "1"},
        {"second bytes do not fold", "[\x83\x41]\nA=1\n[\x83\x61]\nA=2\n", "\x83\x61", "A", "2"},
        {"limit keeps characters whole", "[K]\nA=" + std::string(2046, 'x') + "\x82\xa0yy\n", "K",
         "A", std::string(2046, 'x')},
    };
    TempDir dir;
    for (const auto& row : rows) {
        writeBytes(dir.file("p.ini"), row.file);
        std::string v;
        bool found = ProfileFile(dir.file("p.ini")).get(row.section, row.key, v);
        EXPECT_EQ(found ? std::optional(v) : std::nullopt, row.want) << row.name;
    }
}

TEST(Profile, WritingChangesOnlyTheLineOfTheValue) {
    struct Row {
        const char* name;
        std::string before, key, value, after;  // one value set in section K
    } rows[] = {
        {"other lines byte for byte", "; c\r\n[L]\r\nA=x\r\n\r\n[K]\r\nodd\r\n a = old \r\nA=2\r\n",
         "A", "new", "; c\r\n[L]\r\nA=x\r\n\r\n[K]\r\nodd\r\n a = new\r\nA=2\r\n"},
        {"same value untouched", "[K]\n  A =  \"v\"  \n", "A", "v", "[K]\n  A =  \"v\"  \n"},
        {"own line end kept", "[K]\nA=1\r\nB=2\n", "A", "3", "[K]\nA=3\r\nB=2\n"},
        {"first section only", "[K]\nA=1\n[K]\nA=2\n", "A", "3", "[K]\nA=3\n[K]\nA=2\n"},
        {"after the last key", "[K]\r\nA=1\r\n\r\n[L]\r\n", "C", "3",
         "[K]\r\nA=1\r\nC=3\r\n\r\n[L]\r\n"},
        {"comment after the keys", "[K]\nA=1\n;B=0\n", "C", "3", "[K]\nA=1\nC=3\n;B=0\n"},
        {"section without keys", "[K]\n\n[L]\n", "C", "3", "[K]\nC=3\n\n[L]\n"},
        {"last line without end", "[K]\nA=1", "C", "3", "[K]\nA=1\nC=3\n"},
        {"missing section", "[L]\nB=2", "C", "3", "[L]\nB=2\n[K]\nC=3\n"},
        {"blanks quoted", "[K]\nA=1\n", "A", "  x ", "[K]\nA=\"  x \"\n"},
        {"line break", "[K]\nA=1\n", "A", "x\r\ny", "[K]\nA=x  y\n"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        std::string path = dir.file("p.ini");
        writeBytes(path, row.before);
        ProfileFile ini(path);
        ini.set("K", row.key, row.value);
        ini.save();
        EXPECT_EQ(readBytes(path), row.after) << row.name;
    }
}

TEST(Profile, ValuesReadBackAsWritten) {
    TempDir dir;
    std::string path = dir.file("p.ini");
    for (std::string v : {"  x ", "\"q\"", "'q'", "\"", "\" a '", "\t", "", "x\"", "\"\""}) {
        ProfileFile ini(path);
        ini.set("K", "A", v);
        ini.save();
        EXPECT_EQ(ProfileFile(path).get("K", "A", "?"), v) << v;
    }
}
