#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "settings/settings.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

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

TEST(Settings, FirstStartWritesEveryKey) {
    TempDir dir;
    SaveSettings(Settings{}, dir.file("k.ini"));
    EXPECT_EQ(readBytes(dir.file("k.ini")),
              "[KORVANTO2]\r\nApopFlag=0\r\nSmtpName=\r\nPop3Name=\r\nMailAddress=\r\nUserID=\r\n"
              "Password=\r\nSessionDB=\r\nNameOrder=num3d\r\nDefaultImg=noimg.jpg\r\n");
}

// What was read, saved again, leaves every byte; only missing keys are added.
TEST(Settings, SaveKeepsTheFileAsWritten) {
    const std::string handWritten =
        "; by hand\r\n[Other]\r\nPassword=elsewhere\r\n\r\n[korvanto2]\r\napopflag = 1\r\n"
        "Pop3Name = \"pop.example.jp\"  \r\nMailAddress='me@example.jp'\r\nUserID=\"  me \"\r\n"
        "Password=secret\r\nPassword=later\r\nnote\r\nSmtpName=\tsmtp\r\nSessionDB=\r\n"
        "NameOrder=num3d\r\nDefaultImg=noimg.jpg\r\n\r\n[KORVANTO2]\r\nPop3Name=second\r\n";
    struct Row {
        const char* name;
        std::string before, after;
    } rows[] = {
        {"unchanged", handWritten, handWritten},
        {"flag written as 1", "[KORVANTO2]\r\nApopFlag=0x1\r\n",
         "[KORVANTO2]\r\nApopFlag=1\r\nSmtpName=\r\nPop3Name=\r\nMailAddress=\r\nUserID=\r\n"
         "Password=\r\nSessionDB=\r\nNameOrder=num3d\r\nDefaultImg=noimg.jpg\r\n"},
        {"missing keys, LF", "[KORVANTO2]\nUserID=u\n\n[Other]\nX=1\n",
         "[KORVANTO2]\nUserID=u\nApopFlag=0\nSmtpName=\nPop3Name=\nMailAddress=\nPassword=\n"
         "SessionDB=\nNameOrder=num3d\nDefaultImg=noimg.jpg\n\n[Other]\nX=1\n"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        writeBytes(dir.file("k.ini"), row.before);
        SaveSettings(LoadSettings(dir.file("k.ini")), dir.file("k.ini"));
        EXPECT_EQ(readBytes(dir.file("k.ini")), row.after) << row.name;
    }
}

// Where tokens go is decided by the settings: every row a setting that must not reach a provider.
TEST(Settings, OAuthKeysChooseTheEndpointsOrNameTheirFault) {
    TempDir dir;
    struct Row {
        const char* name;
        std::string lines;
        std::string fault;     // a piece of the SettingsError; "" for none
        std::string tokenUrl;  // expected when there is no fault
    } rows[] = {
        {"microsoft", "OAuthProvider=Microsoft\r\nOAuthClientId=c\r\n", "",
         "https://login.microsoftonline.com/common/oauth2/v2.0/token"},
        {"google", "OAuthProvider=google\r\nOAuthClientId=c\r\n", "",
         "https://oauth2.googleapis.com/token"},
        {"custom on this machine",
         "OAuthProvider=custom\r\nOAuthClientId=c\r\nOAuthTokenUrl=http://127.0.0.1:8/t\r\n", "",
         "http://127.0.0.1:8/t"},
        {"custom in clear text elsewhere",
         "OAuthProvider=custom\r\nOAuthClientId=c\r\nOAuthTokenUrl=http://example.com/t\r\n",
         "OAuthTokenUrl", ""},
        {"custom without token endpoint", "OAuthProvider=custom\r\nOAuthClientId=c\r\n",
         "OAuthTokenUrl", ""},
        {"unknown provider", "OAuthProvider=yahoo\r\nOAuthClientId=c\r\n", "OAuthProvider", ""},
        {"no client id", "OAuthProvider=google\r\n", "OAuthClientId", ""},
        {"unknown Pop3Auth", "Pop3Auth=token\r\nOAuthProvider=google\r\nOAuthClientId=c\r\n",
         "Pop3Auth", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeBytes(dir.file("korvanto.ini"), "[KORVANTO2]\r\n" + row.lines);
        Settings s = LoadSettings(dir.file("korvanto.ini"));
        try {
            usesOAuth2(s.OAuth.Pop3Auth, "Pop3Auth");
            EXPECT_EQ(oauthEndpoints(s.OAuth).tokenUrl, row.tokenUrl);
            EXPECT_EQ(row.fault, "");
        } catch (const SettingsError& e) {
            EXPECT_NE(row.fault, "");
            EXPECT_NE(std::string(e.what()).find(row.fault), std::string::npos) << e.what();
        }
    }
}
