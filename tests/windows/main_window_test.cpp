#include <gtest/gtest.h>

#include <QAction>
#include <filesystem>

#include "settings/settings.h"
#include "window_fixture.h"

using namespace korv;
using namespace korv::test;

namespace {

std::size_t count(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(MainWindow, FirstStartInAnEmptyHomeAsksForTheIniWritesItAndEnds) {
    WindowFixture w;
    w.start("");
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].kind, "system");
    EXPECT_EQ(w.dialogs.shown[0].text,
              "INIファイルを作ってください"_cp + "\n" + w.home.file("korvanto.ini"));
    EXPECT_EQ(w.dialogs.shown[0].caption, "エラー"_cp);
    EXPECT_TRUE(w.form->hasEnded());
    EXPECT_EQ(w.logText(), "Tarnholt Korvanto Access Log\r\n2026-12-07 08:59:58 " + "開始"_cp +
                               "\r\n2026-12-07 08:59:58 " + "終了"_cp);
    std::string ini = readBytes(w.home.file("korvanto.ini"));
    EXPECT_EQ(ini.substr(ini.find("[KORVANTO2]")),
              "[KORVANTO2]\r\nApopFlag=0\r\nSmtpName=\r\nPop3Name=\r\nMailAddress=\r\nUserID=\r\n"
              "Password=\r\nSessionDB=\r\nNameOrder=num3d\r\nDefaultImg=noimg.jpg\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(w.home.path() + "DefaultAccount/20261207"));
}

TEST(MainWindow, ActivatesOnceAndResolvesTheDefaultPicture) {
    WindowFixture w;
    std::filesystem::create_directories(w.home.path() + "img");
    writeBytes(w.home.path() + "img/nopic.png", "png");
    w.start(iniWith("127.0.0.1:1") + "DefaultImg=img\\nopic.png\r\n");
    w.form->FormActivate();
    EXPECT_TRUE(w.dialogs.shown.empty());
    EXPECT_FALSE(w.form->hasEnded());
    EXPECT_EQ(w.form->DefaultImg, w.home.path() + "img\\nopic.png");
    EXPECT_EQ(count(w.logText(), "開始"_cp), 1u);
    // "write ini" keeps the relative name, so the next start resolves it again.
    w.form->writeini1Click();
    EXPECT_EQ(LoadSettings(w.home.file("korvanto.ini")).DefaultImg, "img\\nopic.png");
}

TEST(MainWindow, MissingDefaultPictureOrFullPathGivesEmpty) {
    for (std::string value : {"none.jpg", "", "/etc/hostname"}) {
        WindowFixture w;
        w.start(iniWith("127.0.0.1:1") + "DefaultImg=" + value + "\r\n");
        EXPECT_EQ(w.form->DefaultImg, "") << value;
    }
}

TEST(MainWindow, ClosingLogsTheEndWithoutRewritingTheSettings) {
    WindowFixture w;
    w.start(iniWith("127.0.0.1:1"));
    std::string before = readBytes(w.home.file("korvanto.ini"));
    w.form->mExit->trigger();
    EXPECT_TRUE(w.form->hasEnded());
    EXPECT_EQ(readBytes(w.home.file("korvanto.ini")), before);
    EXPECT_EQ(count(w.logText(), "終了"_cp), 1u);
}

TEST(MainWindow, UnwritableLogShowsOneErrorBoxNamingItAndTheProgramGoesOn) {
    WindowFixture w;
    w.start(iniWith("127.0.0.1:1"));
    w.clock.set(DateTime{2026, 12, 8, 10, 0, 0, 0});
    writeBytes(w.home.path() + "DefaultAccount/20261208", "a file where the day folder goes");
    w.form->mExit->trigger();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].kind, "error");
    EXPECT_NE(w.dialogs.shown[0].text.find("20261208"), std::string::npos);
    EXPECT_NE(w.memoText().find("終了"_cp), std::string::npos);
    EXPECT_TRUE(w.form->hasEnded());
}

TEST(MainWindow, UnwritableSettingsFileIsReportedByName) {
    WindowFixture w;
    w.start(iniWith("127.0.0.1:1"));
    std::filesystem::remove(w.home.file("korvanto.ini"));
    std::filesystem::create_directory(w.home.file("korvanto.ini"));
    w.form->writeini1->trigger();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_NE(w.dialogs.shown[0].text.find("korvanto.ini" + " に書き込めません"_cp),
              std::string::npos);
}

TEST(MainWindow, ApopFlagIsWrittenBackAsOne) {
    WindowFixture w;
    w.start(iniWith("127.0.0.1:1") + "ApopFlag=0x1\r\n");
    w.form->writeini1Click();
    EXPECT_NE(readBytes(w.home.file("korvanto.ini")).find("ApopFlag=1"), std::string::npos);
}
