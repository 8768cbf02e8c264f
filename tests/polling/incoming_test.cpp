// What the next pass does with the message a killed pass had in flight.
#include "polling/incoming.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "polling/poll.h"
#include "polling/uidl_ledger.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

TEST(Incoming, AnInterruptedMessageIsFinishedOrUndoneByTheNextPass) {
    struct Row {
        const char* name;
        bool builtFolderLeft;  // still in ".incoming": it never reached its number
        bool ledgerHasId;
        bool journalWhole;
        bool idRecorded;   // afterwards
        bool galleryKept;  // afterwards
        bool lineLogged;   // the message's status line, by the next pass
    } rows[] = {
        {"killed before the move", true, false, true, false, false, false},
        {"killed after the move", false, false, true, true, true, true},
        {"killed after the ledger", false, true, true, true, true, false},
        {"journal cut short", true, false, false, false, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir home;
        std::string account = home.path();
        std::string picture = home.file("img001.jpg");
        writeBytes(picture, "picture");
        writeBytes(account + "UIDL.txt", row.ledgerHasId ? "old\r\nnew\r\n" : "old\r\n");
        fs::create_directories(account + ".incoming/mX");
        fs::create_directories(account + "20261207/00000");
        if (!row.builtFolderLeft) fs::remove(account + ".incoming/mX");
        const std::string line = "2026-12-07 08:59:59 date |subject| from ->img001.jpg";
        std::string journal = formatIntent(
            {"new", "mX", "20261207/00000", {picture, home.file("img001.txt")}, "acme", line});
        writeBytes(account + ".incoming/journal",
                   row.journalWhole ? journal : journal.substr(0, journal.size() - 5));

        RecordingSink sink;
        FakeClock clock{DateTime{2026, 12, 7, 9, 0, 0, 0}};
        StatusLog status(sink, clock, account);
        struct : HandOff {
            std::string gallery;
            HandOffFiles prepare(const ArchivedMessage&) override { return {}; }
            void carryOut() override {}
            std::string galleryFolder(const std::string& a) override {
                return a == "acme" ? gallery : "";
            }
        } handOff;
        handOff.gallery = home.path();
        RecoverInterruptedPass(account, status, &handOff);
        auto ledger = UidlLedger::load(account + "UIDL.txt");
        EXPECT_EQ(ledger.contains("new"), row.idRecorded);
        EXPECT_TRUE(ledger.contains("old"));
        EXPECT_EQ(ledger.entries().size(), row.idRecorded ? 2u : 1u);
        EXPECT_EQ(fs::exists(picture), row.galleryKept);
        EXPECT_FALSE(fs::exists(account + ".incoming/mX"));
        EXPECT_EQ(readBytes(account + ".incoming/journal"), "");
        std::string log =
            fs::exists(account + "20261207/log.txt") ? readBytes(account + "20261207/log.txt") : "";
        EXPECT_EQ(log.find("\r\n" + line) != std::string::npos, row.lineLogged) << log;
    }
}
