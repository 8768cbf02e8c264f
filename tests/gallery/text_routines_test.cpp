// Template filling, the byte-wise split and the comma text of attachment lists.
#include "gallery/text_routines.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "support/named_rows.h"

using namespace korv;
using namespace korv::test;

namespace {

struct TemplateRow : NamedRow {
    std::string numberTemplate;
    std::int32_t number;
    std::string expected;
};

class FillNumberTemplateTest : public testing::TestWithParam<TemplateRow> {};

TEST_P(FillNumberTemplateTest, FillsDigitPlaces) {
    const auto& row = GetParam();
    EXPECT_EQ(FillNumberTemplate(row.number, row.numberTemplate), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FillNumberTemplateTest,
    testing::Values(TemplateRow{"ZeroFilled", "img####", 7, "img0007"},
                    TemplateRow{"LastDigitsOnly", "img##", 1234, "img34"},
                    TemplateRow{"SeparatePlaces", "a#b#c", 5, "a0b5c"},
                    TemplateRow{"DoubleByteKept", "写真###"_cp, 12, "写真012"_cp},
                    TemplateRow{"NoPlaces", "pic", 5, "pic"},
                    TemplateRow{"CounterWrapsToTwoPlaces", "##", 100, "00"},
                    TemplateRow{"FullWidthSignIsNoPlace", "＃##"_cp, 7, "＃07"_cp},
                    TemplateRow{"FullWidthBetweenPlaces", "#＃#"_cp, 42, "4＃2"_cp},
                    // ソ and 表 end in the byte of "\"; neither their bytes nor the text change.
                    TemplateRow{"TrailBytesUntouched", "ソ#表#"_cp, 93, "ソ9表3"_cp}),
    byName);

TEST(CountNumberPlaces, CountsCharactersNotBytes) {
    EXPECT_EQ(CountNumberPlaces("img###"), 3u);
    EXPECT_EQ(CountNumberPlaces("＃＃#"_cp), 1u);
    EXPECT_EQ(CountNumberPlaces("pic"), 0u);
}

struct SplitRow : NamedRow {
    std::string text;
    std::string separator;
    std::string first;
    std::string second;
};

class SplitAtTest : public testing::TestWithParam<SplitRow> {};

TEST_P(SplitAtTest, SplitsAtFirstOccurrence) {
    const auto& row = GetParam();
    auto [first, second] = SplitAt(row.text, row.separator);
    EXPECT_EQ(first, row.first);
    EXPECT_EQ(second, row.second);
}

INSTANTIATE_TEST_SUITE_P(Rows, SplitAtTest,
                         testing::Values(SplitRow{"Plain", "sunset@acme", "@", "sunset", "acme"},
                                         SplitRow{"TwoSeparators", "a@b@c", "@", "a", "b@c"},
                                         SplitRow{"Missing", "sunset", "@", "sunset", ""},
                                         SplitRow{"Leading", "@acme", "@", "", "acme"},
                                         SplitRow{"Trailing", "sunset@", "@", "sunset", ""},
                                         SplitRow{"BlanksKept", "sunset @ acme", "@", "sunset ",
                                                  " acme"},
                                         SplitRow{"EmptySeparator", "a@b", "", "a@b", ""},
                                         // ァ is 0x83 0x40: its second byte is "@" and counts.
                                         SplitRow{"TrailByteCounts", "ァb"_cp, "@", "\x83", "b"}),
                         byName);

struct CommaRow : NamedRow {
    std::string text;
    std::vector<std::string> items;
};

class ReadCommaTextTest : public testing::TestWithParam<CommaRow> {};

TEST_P(ReadCommaTextTest, GivesItems) {
    const auto& row = GetParam();
    EXPECT_EQ(ReadCommaText(row.text), row.items);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadCommaTextTest,
    testing::Values(
        CommaRow{"Empty", "", {}}, CommaRow{"OnlyBlanks", "  \t ", {}},
        CommaRow{"TwoNames", "a.png,b.jpg", {"a.png", "b.jpg"}},
        CommaRow{"BlanksAroundComma", " a.png , b.jpg ", {"a.png", "b.jpg"}},
        CommaRow{"BlankSplitsUnquoted", "my photo.jpg", {"my", "photo.jpg"}},
        CommaRow{"QuotedKeepsBlanksAndCommas", "\"my photo, 2.jpg\",x", {"my photo, 2.jpg", "x"}},
        CommaRow{"DoubledQuote", "\"a\"\"b.jpg\"", {"a\"b.jpg"}},
        CommaRow{"UnclosedQuote", "\"open end", {"open end"}},
        CommaRow{"TrailingComma", "a.jpg,", {"a.jpg", ""}},
        CommaRow{"CommaThenBlank", "a.jpg, ", {"a.jpg"}},
        CommaRow{"EmptyMiddle", "a,,b", {"a", "", "b"}}, CommaRow{"LeadingComma", ",a", {"", "a"}},
        CommaRow{"LineBreaksAreBlanks", "a\r\nb", {"a", "b"}},
        CommaRow{"ZeroByteEnds", std::string("a,b\0,c", 6), {"a", "b"}},
        CommaRow{"DoubleByteName", "写真.jpg,表.png"_cp, {"写真.jpg"_cp, "表.png"_cp}}),
    byName);

}  // namespace
