#include <gtest/gtest.h>

#include "polling/uidl_ledger.h"

using namespace korv;

TEST(UidlLedger, LinesEndAtAnyBreakAndEmptyLinesAreEntries) {
    struct Row {
        const char* name;
        std::string text;
        std::vector<std::string> entries;
    } rows[] = {
        {"crlf", "a\r\nb\r\n", {"a", "b"}},
        {"lone lf and cr", "a\nb\rc", {"a", "b", "c"}},
        {"empty line inside", "a\r\n\r\nb", {"a", "", "b"}},
        {"only a break", "\r\n", {""}},
        {"nothing", "", {}},
    };
    for (const auto& r : rows) {
        UidlLedger ledger = UidlLedger::parse(r.text);
        EXPECT_EQ(ledger.entries(), r.entries) << r.name;
    }
}

TEST(UidlLedger, IdsMatchByteForByteAndTextEndsEveryLine) {
    UidlLedger l = UidlLedger::parse("0000000A5B");
    EXPECT_TRUE(l.contains("0000000A5B"));
    EXPECT_FALSE(l.contains("0000000a5b"));
    l.add("");
    EXPECT_TRUE(l.contains(""));
    EXPECT_EQ(l.text(), "0000000A5B\r\n\r\n");
}

TEST(UidlLedger, TrimKeepsTheNewestButNeverAnIdStillOnTheServer) {
    UidlLedger l;
    for (int i = 0; i < 2005; ++i) l.add("id" + std::to_string(i));
    l.trim({"id0", "id3"});
    ASSERT_EQ(l.entries().size(), 2000u);
    EXPECT_EQ(l.entries()[0], "id0");
    EXPECT_EQ(l.entries()[1], "id3");
    EXPECT_EQ(l.entries()[2], "id7");
    EXPECT_FALSE(l.contains("id1"));
    // All on the server: nothing can go.
    UidlLedger full;
    std::unordered_set<std::string> all;
    for (int i = 0; i < 2003; ++i) {
        full.add(std::string("x").append(std::to_string(i)));
        all.insert(std::string("x").append(std::to_string(i)));
    }
    full.trim(all);
    EXPECT_EQ(full.entries().size(), 2003u);
}

// An older ledger holds an 8-bit id as it came; the escaped form of the same id finds it, but an
// escaped id with a line break only ever matches its escaped form.
TEST(UidlLedger, EscapedIdsMatchTheRawBytesAnOlderLedgerKept) {
    UidlLedger l = UidlLedger::parse("caf\xE9\r\nplain\r\n %25X%0D\r\n");
    EXPECT_TRUE(l.contains(" caf%E9"));
    EXPECT_TRUE(l.contains(" %25X%0D"));
    EXPECT_FALSE(l.contains(" plain%0D"));  // "plain" plus a CR is another id
    EXPECT_FALSE(l.contains(" caf%E8"));
}
