// Polls against a scripted server that fails the way real ones do. Whatever the fault, a message
// counts only when it is whole, and after the next clean poll every message is there exactly once.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "mail/maillib.h"
#include "mail/pop3_connection.h"
#include "polling/poll.h"
#include "polling/uidl_ledger.h"
#include "support/fake_clock.h"
#include "support/pop3_mailbox.h"
#include "support/recording_sink.h"
#include "support/sample_mail.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

using Fault = std::function<std::string(const std::string& command, const Pop3Mailbox& box)>;

struct FaultRow {
    const char* name;
    Fault fault;            // answers a command instead of the mailbox, or "" to let it answer
    bool passEnds;          // the fault ends the pass as an error
    int wholeAfter;         // messages archived (from the first) by the faulty poll
    bool thirdToo = false;  // the message after a held one is archived by the faulty poll
};

std::string picture(int n) { return std::string(3000, static_cast<char>('a' + n)); }

Pop3Mailbox sampleMailbox(std::vector<std::string> ids = {"id-1", "id-2", "id-3"}) {
    Pop3Mailbox box;
    box.ids = std::move(ids);
    for (int n = 0; n < 3; ++n)
        box.messages.push_back(messageWithAttachments(
            "m" + std::to_string(n), "body " + std::to_string(n), {{"p.jpg", picture(n)}}));
    return box;
}

Fault on(std::string command, std::string answer) {
    return [command, answer](const std::string& c, const Pop3Mailbox&) {
        return c == command ? answer : std::string();
    };
}

// The first half of the mailbox's own answer, then the given ending.
Fault cutShort(std::string command, std::string ending) {
    return [command, ending](const std::string& c, const Pop3Mailbox& box) {
        if (c != command) return std::string();
        std::string whole = box.answer(c);
        return whole.substr(0, whole.size() / 2) + ending;
    };
}

Fault listingWith(std::function<std::string(std::size_t)> size) {
    return [size](const std::string& c, const Pop3Mailbox& box) {
        if (c != "LIST") return std::string();
        std::string listing = "+OK\r\n";
        for (std::size_t i = 0; i < box.messages.size(); ++i)
            listing += std::to_string(i + 1) + " " + size(box.messages[i].size()) + "\r\n";
        return listing + ".\r\n";
    };
}

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

class PollFaults : public testing::TestWithParam<FaultRow> {
  protected:
    static void SetUpTestSuite() { mail::MailLibStartup(); }
    void SetUp() override {
        mail::pop3Timeouts().connectMs = mail::pop3Timeouts().readMs = 500;
        settings.UserID = "u";
        settings.Password = "p";
        status.BeginStatusLine();
    }
    void TearDown() override { mail::pop3Timeouts() = saved; }

    void poll(const Pop3Mailbox& box, const Fault& fault, bool ends) {
        ScriptedPeer peer("+OK ready\r\n", [&](const std::string& c) {
            std::string r = fault ? fault(c, box) : std::string();
            return r.empty() ? box.answer(c) : r;
        });
        settings.Pop3Name = peer.address();
        PollContext ctx{settings, account, status, clock};
        if (ends)
            EXPECT_THROW(PollMailbox(ctx), ConnectionLost);
        else
            EXPECT_EQ(PollMailbox(ctx).outcome, PollOutcome::Done);
    }

    // Every numbered folder is a whole message; their bodies are exactly `bodies`.
    void expectWhole(std::multiset<std::string> bodies, std::size_t ids) {
        std::multiset<std::string> found;
        std::string day = account + "20261207/";
        if (fs::exists(day)) {
            for (auto& e : fs::directory_iterator(day)) {
                if (!e.is_directory()) continue;
                std::string f = e.path().string() + "/";
                ASSERT_TRUE(fs::exists(f + "header.txt")) << f;
                std::string body = readBytes(f + "body.txt");
                found.insert(body);
                if (body.empty()) continue;
                EXPECT_TRUE(readBytes(f + "p.jpg") == picture(body.back() - '0'))
                    << "picture cut short in " << f;
            }
        }
        EXPECT_EQ(found, bodies);
        EXPECT_EQ(UidlLedger::load(account + "UIDL.txt").entries().size(), ids);
        for (auto& e : fs::directory_iterator(account + ".incoming"))
            EXPECT_EQ(e.path().filename(), "journal") << "left behind: " << e.path();
    }

    mail::Pop3Timeouts saved = mail::pop3Timeouts();
    TempDir home;
    std::string account = home.path() + "DefaultAccount/";
    RecordingSink sink;
    FakeClock clock{DateTime{2026, 12, 7, 9, 0, 0, 0}};
    Settings settings;
    StatusLog status{sink, clock, account};
};

TEST_P(PollFaults, EveryMessageIsWholeExactlyOnceAfterTheNextCleanPoll) {
    const FaultRow& row = GetParam();
    Pop3Mailbox box = sampleMailbox();
    poll(box, row.fault, row.passEnds);
    std::multiset<std::string> first;
    for (int n = 0; n < row.wholeAfter; ++n) first.insert("body " + std::to_string(n));
    if (row.thirdToo) first.insert("body 2");
    expectWhole(first, first.size());

    poll(box, nullptr, false);
    expectWhole({"body 0", "body 1", "body 2"}, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PollFaults,
    testing::Values(
        FaultRow{"DropInsideRetr", cutShort("RETR 2", "<drop>"), true, 1},
        FaultRow{"StallInsideRetr", cutShort("RETR 2", "<stall>"), true, 1},
        FaultRow{"DropInsideHeader", cutShort("TOP 2 0", "<drop>"), true, 1},
        FaultRow{"StallInsideHeader", cutShort("TOP 2 0", "<stall>"), true, 1},
        FaultRow{"EndlessLine", on("RETR 2", "+OK\r\n" + std::string(9 << 20, 'x') + "<stall>"),
                 true, 1},
        FaultRow{"GarbageReply", on("RETR 2", "HELLO?\r\n"), true, 1},
        // A byte now and then never trips the idle time-out; the reply's deadline ends it.
        FaultRow{"TrickleInsideRetr",
                 [](const std::string& c, const Pop3Mailbox& box) {
                     return c == "RETR 2" ? box.answer(c) + "<trickle>" : std::string();
                 },
                 true, 1},
        FaultRow{"ListTooSmall", listingWith([](std::size_t) { return "3"; }), false, 3},
        FaultRow{"ListTooLarge",
                 listingWith([](std::size_t n) { return std::to_string(n * 1000); }), false, 3},
        // Announced beyond what the library takes: held back unfetched, not allocated for.
        FaultRow{"ListAbsurd", listingWith([](std::size_t) { return "999999999999999"; }), false,
                 0},
        FaultRow{"ListMissing", on("LIST", "-ERR no listing here\r\n"), false, 3},
        FaultRow{"StatAbsurd", on("STAT", "+OK 2147483647 0\r\n"), false, 3},
        FaultRow{"OneMessageRefused",
                 [](const std::string& c, const Pop3Mailbox&) {
                     return c == "RETR 2" || c == "TOP 2 0" ? "-ERR not now\r\n" : std::string();
                 },
                 false, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Ids with a CR or a NUL used to break the ledger's lines, so every poll fetched them again.
TEST_F(PollFaults, IdsWithLineBreaksAndNulsAreFetchedOnce) {
    Pop3Mailbox box = sampleMailbox({"a\rb", std::string("a\0b", 3), "a%0Db"});
    poll(box, nullptr, false);
    expectWhole({"body 0", "body 1", "body 2"}, 3);
    poll(box, nullptr, false);
    expectWhole({"body 0", "body 1", "body 2"}, 3);
}

}  // namespace
