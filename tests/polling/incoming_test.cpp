// What the next pass does with the message a killed pass had in flight.
#include "polling/incoming.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "polling/uidl_ledger.h"
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
    } rows[] = {
        {"killed before the move", true, false, true, false, false},
        {"killed after the move", false, false, true, true, true},
        {"killed after the ledger", false, true, true, true, true},
        {"journal cut short", true, false, false, false, true},
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
        std::string journal =
            formatIntent({"new", "mX", "20261207/00000", {picture, home.file("img001.txt")}});
        writeBytes(account + ".incoming/journal",
                   row.journalWhole ? journal : journal.substr(0, journal.size() - 5));

        RecoverInterruptedPass(account);
        auto ledger = UidlLedger::load(account + "UIDL.txt");
        EXPECT_EQ(ledger.contains("new"), row.idRecorded);
        EXPECT_TRUE(ledger.contains("old"));
        EXPECT_EQ(ledger.entries().size(), row.idRecorded ? 2u : 1u);
        EXPECT_EQ(fs::exists(picture), row.galleryKept);
        EXPECT_FALSE(fs::exists(account + ".incoming/mX"));
        EXPECT_EQ(readBytes(account + ".incoming/journal"), "");
    }
}
