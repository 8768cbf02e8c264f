// Names from the counter file: reading rule, search for a free name, rewrite, waits for writers.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "gallery/session.h"
#include "platform/file_error.h"
#include "platform/shared_file.h"
#include "platform/whole_file.h"
#include "support/fake_clock.h"
#include "support/lock_holder.h"
#include "support/named_rows.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

namespace {

struct CounterRow : NamedRow {
    std::optional<std::string> counter;  // nullopt: no counter file
    std::string numberTemplate;
    std::vector<std::string> present;  // in the folder; a trailing "/" makes a folder
    std::string expectedName;
    std::string expectedCounter;
};

class NextNumberedNameTest : public testing::TestWithParam<CounterRow> {};

TEST_P(NextNumberedNameTest, ChoosesNameAndRecordsIt) {
    const auto& row = GetParam();
    TempDir dir;
    std::string gallery = dir.file("gallery");
    std::filesystem::create_directory(gallery);
    for (const auto& entry : row.present) {
        if (entry.back() == '/')
            std::filesystem::create_directory(gallery + "/" + entry);
        else
            writeBytes(gallery + "/" + entry, "x");
    }
    std::string counter = dir.file("counter.txt");
    if (row.counter) writeBytes(counter, *row.counter);
    FakeClock clock;

    std::string name =
        NextNumberedName(clock, counter, row.numberTemplate, gallery, ".jpg", ".txt");

    EXPECT_EQ(name, row.expectedName);
    EXPECT_EQ(readBytes(counter), row.expectedCounter);
    EXPECT_TRUE(clock.sleeps.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NextNumberedNameTest,
    testing::Values(
        CounterRow{"NewCounterFile", std::nullopt, "img###", {}, "img001", "1"},
        CounterRow{"NewCounterFileWithoutFreeName",
                   std::nullopt,
                   "#",
                   {"0.jpg", "1.txt", "2.jpg", "3.jpg", "4.jpg", "5.jpg", "6.txt", "7.jpg", "8.jpg",
                    "9.txt"},
                   "",
                   "0\r\n"},
        CounterRow{"TakenJpgSkipped", "41\r\n", "img###", {"img042.jpg"}, "img043", "43"},
        CounterRow{"TakenTxtSkipped", "41\r\n", "img###", {"img042.txt"}, "img043", "43"},
        CounterRow{
            "OtherExtensionDoesNotBlock", "41\r\n", "img###", {"img042.png"}, "img042", "42"},
        CounterRow{
            "FolderDoesNotBlock", "0", "img###", {"img001.jpg/", "img001.txt/"}, "img001", "1"},
        CounterRow{"TwoPlacesWrap", "99", "##", {}, "00", "100"},
        CounterRow{"FivePlaces", "41", "#####", {}, "00042", "42"},
        CounterRow{"EmptyFile", "", "img###", {}, "img001", "1"},
        CounterRow{"OnlyBlanks", "  \r\n", "img###", {}, "img001", "1"},
        CounterRow{
            "ControlCodesSkipped", std::string("\0\t\x1f 5", 5), "img###", {}, "img006", "6"},
        CounterRow{"FirstTokenOnly", "12 345", "img###", {}, "img013", "13"},
        CounterRow{"NegativeNumber", "-3", "img###", {}, "img0-2", "-2"},
        CounterRow{"PlusSign", "+7", "img###", {}, "img008", "8"},
        CounterRow{"LargestBeforeLimit", "2147483646", "img###", {}, "img647", "2147483647"},
        CounterRow{
            "TokenCutAt32Characters", std::string(32, '0') + "7", "img###", {}, "img001", "1"},
        CounterRow{"TemplateWithoutPlaces", "5", "pic", {}, "pic", "6"},
        CounterRow{"TemplateWithoutPlacesTaken", "5", "pic", {"pic.txt"}, "", "5"},
        CounterRow{"AllNamesTaken",
                   "3",
                   "#",
                   {"0.jpg", "1.jpg", "2.jpg", "3.jpg", "4.txt", "5.jpg", "6.jpg", "7.jpg", "8.jpg",
                    "9.jpg"},
                   "",
                   "3"},
        CounterRow{"NoNumberAfterTheLargest", "2147483647", "img###", {}, "", "2147483647"}),
    byName);

struct BadCounterRow : NamedRow {
    std::string counter;
};

class UnreadableCounterTest : public testing::TestWithParam<BadCounterRow> {};

TEST_P(UnreadableCounterTest, FailsNamingTheFileAndLeavesItUnchangedAndClosed) {
    TempDir dir;
    std::string counter = dir.file("counter.txt");
    writeBytes(counter, GetParam().counter);
    FakeClock clock;
    try {
        NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt");
        ADD_FAILURE() << "no error";
    } catch (const ConversionError& e) {
        EXPECT_NE(std::string(e.what()).find(counter), std::string::npos) << e.what();
    }
    EXPECT_EQ(readBytes(counter), GetParam().counter);
    // Nothing of ours still holds the file: an exclusive open and a rewrite succeed.
    EXPECT_NO_THROW(
        SharedFile::open(counter, SharedFile::Access::ReadWrite, SharedFile::Lock::Exclusive));
    WriteStringToFile("9", counter);
    EXPECT_EQ(NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt"), "img010");
}

INSTANTIATE_TEST_SUITE_P(Rows, UnreadableCounterTest,
                         testing::Values(BadCounterRow{"Letters", "abc"},
                                         BadCounterRow{"DigitsThenLetters", "7abc"},
                                         BadCounterRow{"TooLarge", "2147483648"},
                                         BadCounterRow{"FarTooLarge", "99999999999999"},
                                         BadCounterRow{"SignAlone", "-\r\n"},
                                         BadCounterRow{"TwoSigns", "+-5"},
                                         BadCounterRow{"DoubleByteText", "\x82\x50"}),
                         byName);

TEST(NextNumberedName, CounterThatCannotBeCreatedFails) {
    TempDir dir;
    writeBytes(dir.file("plain"), "x");
    FakeClock clock;
    for (const std::string& counter : {dir.file("missing/counter.txt"), dir.file("plain/c.txt")}) {
        SCOPED_TRACE(counter);
        try {
            NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt");
            ADD_FAILURE() << "no error";
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find(counter), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST(NextNumberedName, CounterThatCannotBeOpenedGivesNoNameAtOnce) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("counter.txt"));
    FakeClock clock;
    EXPECT_EQ(
        NextNumberedName(clock, dir.file("counter.txt"), "img###", dir.path(), ".jpg", ".txt"), "");
    EXPECT_TRUE(clock.sleeps.empty());
}

// Random numbers from a list, and something to do at a given wait.
class ScriptedClock : public FakeClock {
  public:
    int random(int bound) override {
        int r = randoms[calls++ % randoms.size()];
        EXPECT_EQ(bound, 300);
        return r;
    }
    void sleep(int ms) override {
        FakeClock::sleep(ms);
        if (static_cast<int>(sleeps.size()) == actAtSleep && act) act();
    }
    std::vector<int> randoms{0};
    std::size_t calls = 0;
    int actAtSleep = -1;
    std::function<void()> act;
};

TEST(NextNumberedName, WriterHoldingTheCounterForAllAttemptsGivesNoName) {
    TempDir dir;
    std::string counter = dir.file("counter.txt");
    writeBytes(counter, "41");
    LockHolder writer(counter, SharedFile::Lock::Exclusive);
    ASSERT_TRUE(writer.holding());
    ScriptedClock clock;
    clock.randoms = {0, 299, 150};

    EXPECT_EQ(NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt"), "");

    EXPECT_EQ(clock.sleeps.size(), 100u);  // the last failed attempt is followed by a wait too
    EXPECT_EQ(std::set<int>(clock.sleeps.begin(), clock.sleeps.end()),
              (std::set<int>{300, 599, 450}));
    EXPECT_EQ(clock.reseeds, 1);
    writer.release();
    EXPECT_EQ(readBytes(counter), "41");
}

TEST(NextNumberedName, WaitsForAWriterAndReadsItsNumber) {
    TempDir dir;
    std::string counter = dir.file("counter.txt");
    writeBytes(counter, "41");
    LockHolder writer(counter, SharedFile::Lock::Exclusive, "99");
    ASSERT_TRUE(writer.holding());
    ScriptedClock clock;
    clock.randoms = {123};
    clock.actAtSleep = 5;
    clock.act = [&] { writer.release(); };

    EXPECT_EQ(NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt"), "img100");

    EXPECT_EQ(clock.sleeps, std::vector<int>(5, 423));
    EXPECT_EQ(readBytes(counter), "100");
}

TEST(NextNumberedName, ReaderInItsReadPhaseMakesTheRewriteFailWithoutAName) {
    TempDir dir;
    std::string counter = dir.file("counter.txt");
    writeBytes(counter, "41");
    {
        LockHolder reader(counter, SharedFile::Lock::Shared);
        ASSERT_TRUE(reader.holding());
        FakeClock clock;
        EXPECT_THROW(NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt"),
                     SharingViolation);
        EXPECT_TRUE(clock.sleeps.empty());
    }
    EXPECT_EQ(readBytes(counter), "41");
    FakeClock clock;
    EXPECT_EQ(NextNumberedName(clock, counter, "img###", dir.path(), ".jpg", ".txt"), "img042");
}

}  // namespace
