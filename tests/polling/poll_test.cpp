// Polls against a real Dovecot, with a fake clock and the status lines recorded.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "polling/poll.h"
#include "polling/uidl_ledger.h"
#include "support/dovecot_server.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

struct Poll : ::testing::Test {
    static inline std::unique_ptr<DovecotServer> server;
    static void SetUpTestSuite() { server = std::make_unique<DovecotServer>(); }
    static void TearDownTestSuite() { server.reset(); }

    TempDir home;
    RecordingSink sink;
    FakeClock clock{DateTime{2026, 12, 7, 9, 0, 0, 0}};
    Settings settings;
    std::string account = home.path() + "DefaultAccount/";
    StatusLog status{sink, clock, account};
    std::vector<std::string> handedOff;

    void SetUp() override {
        server->clearMessages();
        settings.Pop3Name = server->address();
        settings.CaFile = server->caFile();  // the server offers STLS, as most do
        settings.UserID = server->user();
        settings.Password = server->password();
        fs::create_directories(account);
        status.BeginStatusLine();
    }
    // Records what it is handed; `onPrepare` may interfere.
    struct RecordingHandOff : HandOff {
        std::vector<std::string>& seen;
        std::function<void()> onPrepare;
        explicit RecordingHandOff(std::vector<std::string>& s) : seen(s) {}
        HandOffFiles prepare(const ArchivedMessage& m) override {
            if (onPrepare) onPrepare();
            // The message is handed on with its files in place, before it counts.
            bool whole = fs::exists(m.folder + "header.txt") && fs::exists(m.folder + "body.txt");
            seen.push_back((whole ? "whole|" : "partial|") + m.subject + "|" + m.body + "|" +
                           m.attachments);
            return {};
        }
        void carryOut() override {}
    };
    RecordingHandOff recorder{handedOff};

    PollResult poll() {
        PollContext ctx{settings, account, status, clock, &recorder};
        return PollMailbox(ctx);
    }
    std::string log(const char* day = "20261207") {
        std::string path = account + day + "/log.txt";
        return fs::exists(path) ? readBytes(path) : std::string();
    }
    std::string ledger() { return readBytes(account + "UIDL.txt"); }
    std::string dayFolder(const char* day = "20261207") { return account + day + "/"; }
};

const std::string kPlainMessage =
    "From: a@example.jp\r\nSubject: plain\r\nDate: Mon, 7 Dec 2026 08:00:00 +0900\r\n\r\nno "
    "attachment\r\n";

}  // namespace

TEST_F(Poll, FirstPollArchivesEverythingInServerOrder) {
    server->addMessage(
        messageWithAttachments("first", "body one", {{"a.jpg", "JPEG"}, {"b.txt", "text"}}));
    server->addMessage(kPlainMessage);
    poll();
    std::string day = dayFolder();
    EXPECT_EQ(readBytes(day + "00000/header.txt").substr(0, 40),
              messageWithAttachments("first", "").substr(0, 40));
    EXPECT_EQ(readBytes(day + "00000/body.txt"), "body one");
    EXPECT_EQ(readBytes(day + "00000/a.jpg"), "JPEG");
    EXPECT_EQ(readBytes(day + "00000/b.txt"), "text");
    EXPECT_EQ(readBytes(day + "00001/header.txt"),
              kPlainMessage.substr(0, kPlainMessage.find("\r\n\r\n") + 2));
    EXPECT_EQ(readBytes(day + "00001/body.txt"), "no attachment\r\n");
    std::string expectedLog = std::string("Tarnholt Korvanto Access Log") +
                              "\r\n2026-12-07 09:00:00 Mon, 7 Dec 2026 09:00:00 +0900 |first| "
                              "sender@example.jp atc:a.jpg,b.txt" +
                              "\r\n2026-12-07 09:00:00 Mon, 7 Dec 2026 08:00:00 +0900 |plain| "
                              "a@example.jp" +
                              "\r\n2026-12-07 09:00:00 " + "2件取得"_cp;
    EXPECT_EQ(log(), expectedLog);
    EXPECT_EQ(UidlLedger::parse(ledger()).entries().size(), 2u);
    ASSERT_EQ(handedOff.size(), 2u);
    EXPECT_EQ(handedOff[0], "whole|first|body one|a.jpg,b.txt");
    EXPECT_EQ(sink.lines.front(), "2026-12-07 09:00:00 *");
    EXPECT_EQ(sink.lines.back(), "2026-12-07 09:00:00 ");
}

TEST_F(Poll, SecondPollAddsOneStarLogsNothingAndRewritesTheLedger) {
    server->addMessage(kPlainMessage);
    poll();
    std::string logBefore = log();
    fs::remove(account + "UIDL.txt");
    UidlLedger::parse("x\r\n").save(account + "UIDL.txt");
    server->clearMessages();
    server->addMessage(kPlainMessage);
    poll();  // a new message again (its id is new)
    std::string ledgerAfterSecond = ledger();
    std::size_t linesBefore = sink.lines.size();
    poll();
    EXPECT_EQ(sink.lines.size(), linesBefore);
    EXPECT_EQ(sink.lines.back(), "2026-12-07 09:00:00 *");
    EXPECT_EQ(ledger(), ledgerAfterSecond);
    EXPECT_EQ(log().size(),
              logBefore.size() * 2 - std::string("Tarnholt Korvanto Access Log").size());
}

TEST_F(Poll, GapsAreReusedAndMidnightStartsANewDay) {
    fs::create_directories(dayFolder() + "00000");
    fs::create_directories(dayFolder() + "00002");
    server->addMessage(kPlainMessage);
    server->addMessage(kPlainMessage);
    poll();
    EXPECT_TRUE(fs::exists(dayFolder() + "00001/body.txt"));
    EXPECT_TRUE(fs::exists(dayFolder() + "00003/body.txt"));
    clock.set(DateTime{2026, 12, 8, 0, 0, 1, 0});
    server->addMessage(kPlainMessage);
    poll();
    EXPECT_TRUE(fs::exists(dayFolder("20261208") + "00000/body.txt"));
    EXPECT_NE(log("20261208").find("1件取得"_cp), std::string::npos);
}

TEST_F(Poll, RefusedConnectionWrongPasswordAndEmptyMailbox) {
    settings.Pop3Name = "127.0.0.1:" + std::to_string(closedPort());
    poll();
    // The reason follows the word, one blank between, on the status line and in the log.
    const std::string refused =
        "2026-12-07 09:00:00 " + "接続失敗 POP3サーバ "_cp + settings.Pop3Name + ": ";
    EXPECT_EQ(sink.lines.back().rfind(refused, 0), 0u) << sink.lines.back();
    EXPECT_NE(log().find(sink.lines.back()), std::string::npos);

    settings.Pop3Name = server->address();
    settings.Password = "wrong";
    poll();
    ASSERT_GE(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[sink.lines.size() - 2].back(), '*');
    EXPECT_EQ(sink.lines.back().find("2026-12-07 09:00:00 " + "ログイン失敗 "_cp), 0u);
    EXPECT_NE(sink.lines.back().find("-ERR"), std::string::npos) << sink.lines.back();
    EXPECT_EQ(log().find("wrong"), std::string::npos);

    settings.Password = server->password();
    std::size_t lines = sink.lines.size();
    poll();
    EXPECT_EQ(sink.lines.size(), lines);
    EXPECT_EQ(sink.lines.back().back(), '*');
    EXPECT_FALSE(fs::exists(account + "UIDL.txt")) << "an empty mailbox leaves the ledger alone";
}

TEST_F(Poll, AnErrorInMidPassKeepsWhatWasArchivedAndTheNextPollDoesTheRest) {
    for (int i = 0; i < 3; ++i) server->addMessage(kPlainMessage);
    // While the second message is handed off, a folder takes the ledger's place: its id cannot
    // be recorded, which ends the pass after the message was moved into place.
    std::string saved;
    int prepared = 0;
    recorder.onPrepare = [&] {
        if (++prepared != 2) return;
        saved = ledger();
        fs::remove(account + "UIDL.txt");
        fs::create_directory(account + "UIDL.txt");
    };
    EXPECT_THROW(poll(), FileError);
    EXPECT_NE(log().find("中断"_cp), std::string::npos);
    fs::remove(account + "UIDL.txt");
    writeBytes(account + "UIDL.txt", saved);
    recorder.onPrepare = nullptr;
    poll();
    EXPECT_EQ(UidlLedger::parse(ledger()).entries().size(), 3u);
    for (const char* folder : {"00000", "00001", "00002"})
        EXPECT_TRUE(fs::exists(dayFolder() + folder + "/body.txt")) << folder;
    EXPECT_FALSE(fs::exists(dayFolder() + "00003")) << "the interrupted message came twice";
    EXPECT_NE(log().find("1件取得"_cp), std::string::npos);
    // The interrupted message's line is logged by the poll that finished it, and only then.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log().find("|plain| a@example.jp", at)) != std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, 3u) << log();
}

TEST_F(Poll, NewIdsGoOnLinesOfTheirOwnAfterALedgerWithoutALastLineEnd) {
    writeBytes(account + "UIDL.txt", "gone-from-server");
    for (int i = 0; i < 3; ++i) server->addMessage(kPlainMessage);
    poll();
    auto entries = UidlLedger::parse(ledger()).entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0], "gone-from-server");
    EXPECT_TRUE(ledger().ends_with("\r\n"));
    std::size_t lines = sink.lines.size();
    poll();
    EXPECT_EQ(sink.lines.size(), lines) << "every appended id is known to the next poll";
}
