#include <gtest/gtest.h>

#include <filesystem>

#include "activity/status_log.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

namespace {

struct StatusLogTest : ::testing::Test {
    TempDir dir;
    RecordingSink sink;
    FakeClock clock{DateTime{2026, 12, 7, 8, 59, 58, 0}};
    StatusLog log{sink, clock, dir.path()};
    std::string logOf(const char* day) { return readBytes(dir.path() + day + "/log.txt"); }
};

}  // namespace

TEST_F(StatusLogTest, FirstEntryOfADayCreatesFolderAndBanner) {
    log.BeginStatusLine();
    log.AppendStatus("開始"_cp);
    log.WriteStatusToLog();
    clock.set(DateTime{2026, 12, 7, 9, 0, 31, 0});
    log.BeginStatusLine();
    log.AppendStatus("接続失敗"_cp);
    log.WriteStatusToLog();
    EXPECT_EQ(logOf("20261207"), "Tarnholt Korvanto Access Log\r\n2026-12-07 08:59:58 " +
                                     "開始"_cp + "\r\n2026-12-07 09:00:31 " + "接続失敗"_cp);
    EXPECT_EQ(sink.lines.back(), "2026-12-07 09:00:31 " + "接続失敗"_cp);
}

TEST_F(StatusLogTest, FiftyFirstPieceStaysAndTheNextGoesToAFreshLine) {
    log.BeginStatusLine();
    for (int i = 0; i < 51; ++i) log.AppendStatus("*");
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0], "2026-12-07 08:59:58 " + std::string(51, '*'));
    EXPECT_EQ(sink.lines[1], "2026-12-07 08:59:58 ");
    log.AppendStatus("*");
    EXPECT_EQ(sink.lines[1], "2026-12-07 08:59:58 *");
    EXPECT_EQ(log.StatusPieceCount(), 1);
}

TEST_F(StatusLogTest, LineBegunBeforeMidnightGoesToTheNewDayWithItsOldTime) {
    clock.set(DateTime{2026, 12, 7, 23, 59, 59, 900});
    log.BeginStatusLine();
    log.AppendStatus("x");
    clock.advanceMs(200);
    log.WriteStatusToLog();
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "20261207/log.txt"));
    EXPECT_EQ(logOf("20261208"), "Tarnholt Korvanto Access Log\r\n2026-12-07 23:59:59 x");
}

TEST_F(StatusLogTest, TwoWritesWriteTwiceAndADeletedLogRestartsWithTheBanner) {
    log.BeginStatusLine();
    log.AppendStatus("a");
    log.WriteStatusToLog();
    log.WriteStatusToLog();
    EXPECT_EQ(logOf("20261207"),
              "Tarnholt Korvanto Access Log\r\n2026-12-07 08:59:58 a\r\n2026-12-07 08:59:58 a");
    std::filesystem::remove(dir.path() + "20261207/log.txt");
    log.WriteStatusToLog();
    EXPECT_EQ(logOf("20261207"), "Tarnholt Korvanto Access Log\r\n2026-12-07 08:59:58 a");
}

TEST_F(StatusLogTest, UnwritableLogRaisesNamingTheFileAndKeepsOldContentAndTheMemoLine) {
    log.BeginStatusLine();
    log.AppendStatus("first");
    log.WriteStatusToLog();
    std::string before = logOf("20261207");
    // A folder where the temporary file must go: the log's folder is made unusable by a file
    // placed at the log's own path's folder for another day.
    clock.set(DateTime{2026, 12, 8, 10, 0, 0, 0});
    korv::test::writeBytes(dir.path() + "20261208", "not a folder");
    log.BeginStatusLine();
    log.AppendStatus("second");
    try {
        log.WriteStatusToLog();
        FAIL() << "writing under a file succeeded";
    } catch (const FileError& e) {
        // The day's folder is what cannot be made: the error says so, not "no such file".
        EXPECT_NE(std::string(e.what()).find("20261208"), std::string::npos) << e.what();
    }
    EXPECT_EQ(sink.lines.back(), "2026-12-08 10:00:00 second");
    EXPECT_EQ(logOf("20261207"), before);
}

// A subject may carry a terminal's escape sequences (set the title, clear the screen): the
// console and the log get blanks instead; CP932 trail bytes stay.
TEST_F(StatusLogTest, LineBreaksAndControlCodesFromMailBecomeBlanks) {
    log.BeginStatusLine();
    log.AppendStatus(std::string("a\r\nb\nc\rd\r\n\x1b]0;t\x07\x1b[2J\x7f\t") + "表ソ"_cp);
    log.WriteStatusToLog();
    const std::string line = "2026-12-07 08:59:58 a b c d  ]0;t  [2J  " + "表ソ"_cp;
    EXPECT_EQ(sink.lines.back(), line);
    EXPECT_EQ(logOf("20261207"), "Tarnholt Korvanto Access Log\r\n" + line);
}
