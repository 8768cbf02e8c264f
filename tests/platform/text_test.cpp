#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/text.h"

using namespace korv;

TEST(Text, OnlySingleByteLettersFoldTheirCase) {
    EXPECT_EQ(asciiLower("Pop3S://HOST"), "pop3s://host");
    // ア (83 41) and ヂ (83 61) differ only in a trail byte that looks like 'A' and 'a'.
    EXPECT_EQ(asciiLower("\x83\x41X"), "\x83\x41x");
    EXPECT_FALSE(equalsIgnoringCase("\x83\x41.jpg", "\x83\x61.JPG"));
    EXPECT_TRUE(equalsIgnoringCase("\x83\x41.jpg", "\x83\x41.JPG"));
    EXPECT_EQ(asciiLower("ｱｲｳ"_cp), "ｱｲｳ"_cp);  // half-width katakana has no case
    EXPECT_FALSE(equalsIgnoringCase("Subject", "Subjects"));
    EXPECT_TRUE(startsWithIgnoringCase("ISO-2022-JP-2", "iso-2022-jp"));
    EXPECT_FALSE(startsWithIgnoringCase("iso", "iso-2022-jp"));
}

TEST(Text, EveryLineBreakFollowsOneRule) {
    const std::string mixed = "a\r\nb\rc\nd\n\re";
    EXPECT_EQ(toCrLf(mixed), "a\r\nb\r\nc\r\nd\r\n\r\ne");
    EXPECT_EQ(replaceLineBreaks(mixed, "<br>"), "a<br>b<br>c<br>d<br><br>e");
    EXPECT_EQ(toCrLf("\r\rx\r"), "\r\n\r\nx\r\n");
    EXPECT_EQ(splitLines(mixed), (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    EXPECT_EQ(splitLines("x\r\n"), std::vector<std::string>{"x"});
    EXPECT_EQ(lineBreakAt("\r\n", 0), 2u);
    EXPECT_EQ(lineBreakAt("\r\n", 1), 1u);
    EXPECT_EQ(lineBreakAt("a", 0), 0u);
    EXPECT_EQ(lineBreakAt("a", 5), 0u);
}

// The window's interval field and the Interval key read numbers through this one rule.
TEST(Text, WholeNumbersOfFieldsAndSettings) {
    for (auto [text, value] : std::vector<std::pair<const char*, int>>{{" \t7", 7},
                                                                       {"+4", 4},
                                                                       {"-5", -5},
                                                                       {"$1E", 30},
                                                                       {"0x1f", 31},
                                                                       {"-2147483648", INT_MIN}})
        EXPECT_EQ(parseInteger(text), value) << text;
    for (const char* bad : {"", "12 ", "1.5", "$", "0x", "$1G", "2147483648", "--1"})
        EXPECT_THROW(parseInteger(bad), ConversionError) << bad;
}
