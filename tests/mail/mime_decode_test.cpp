// Decoding of received mail: Japanese charsets in bodies and header texts, and the way out.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "gallery/text_routines.h"
#include "mail/mime/header_text.h"
#include "mail/mime/mime_message.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/named_rows.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

// ①髙～－テスト as CP932 bytes: NEC row 13, IBM extension, and the two characters whose
// Unicode mapping differs between JIS and CP932.
const std::string kJapaneseCp932 = "\x87\x40\xFB\xFC\x81\x60\x81\x7C\x83\x65\x83\x58\x83\x67";
const std::string kJapaneseUtf8 =
    "\xE2\x91\xA0\xE9\xAB\x99\xEF\xBD\x9E\xEF\xBC\x8D\xE3\x83\x86"
    "\xE3\x82\xB9\xE3\x83\x88";
// The same in ISO-2022-JP as Japanese mailers send it: ① in row 13, 髙 in the NEC-selected
// IBM rows, ～ as WAVE DASH, － as MINUS SIGN.
const std::string kJapaneseJis =
    "\x1B$B\x2D\x21\x7C\x62\x21\x41\x21\x5D\x25\x46\x25\x39\x25\x48\x1B(B";

struct CharsetCase : NamedRow {
    std::string charset;
    std::string encoding;
    std::string bodyBytes;    // as it appears in the message
    std::string subjectWord;  // RFC 2047 word
};

std::vector<CharsetCase> charsetCases() {
    return {
        {"Utf8Base64", "UTF-8", "base64", base64(kJapaneseUtf8 + "\r\n２行目\r\n"),
         "=?UTF-8?B?" + base64(kJapaneseUtf8) + "?="},
        {"ShiftJis8bit", "Shift_JIS", "8bit", kJapaneseCp932 + "\r\n" + "２行目"_cp + "\r\n",
         "=?Shift_JIS?B?" + base64(kJapaneseCp932) + "?="},
        {"Cp932QuotedPrintable", "CP932", "quoted-printable",
         "=87@=FB=FC=81`=81|=83e=83X=83g\r\n=82Q=8Ds=96=DA\r\n",
         "=?windows-31j?Q?=87@=FB=FC=81`=81|=83e=83X=83g?="},
        {"Iso2022jp7bit", "ISO-2022-JP", "7bit",
         kJapaneseJis + "\r\n\x1B$B\x23\x32\x39\x54\x4C\x5C\x1B(B\r\n",
         "=?ISO-2022-JP?B?" + base64(kJapaneseJis) + "?="},
    };
}

class CharsetDecoding : public ::testing::TestWithParam<CharsetCase> {};

TEST_P(CharsetDecoding, BodySubjectAndSenderComeOutAsCp932) {
    const auto& c = GetParam();
    std::string raw = "From: " + c.subjectWord +
                      " <sender@example.jp>\r\n"
                      "Subject: " +
                      c.subjectWord +
                      "\r\n"
                      "Date: Tue, 08 Dec 2026 10:00:00 +0900\r\n"
                      "MIME-Version: 1.0\r\n"
                      "Content-Type: text/plain; charset=" +
                      c.charset +
                      "\r\n"
                      "Content-Transfer-Encoding: " +
                      c.encoding +
                      "\r\n"
                      "\r\n" +
                      c.bodyBytes;
    TempDir dir;
    DecodedMessage m = decodeMessage(raw, dir.path());
    EXPECT_EQ(m.texts.subject, kJapaneseCp932);
    EXPECT_EQ(m.texts.from, kJapaneseCp932 + " <sender@example.jp>");
    EXPECT_EQ(m.texts.date, "Tue, 08 Dec 2026 10:00:00 +0900");
    EXPECT_EQ(m.body, kJapaneseCp932 + "\r\n" + "２行目"_cp + "\r\n");
    EXPECT_TRUE(m.attachmentNames.empty());
    EXPECT_EQ(formatNamesList(m.attachmentNames), "");
}

INSTANTIATE_TEST_SUITE_P(Japanese, CharsetDecoding, ::testing::ValuesIn(charsetCases()), byName);

TEST(HeaderTexts, HeaderIsRawLinesWithCrLfAndWordsJoinAcrossSplitCharacters) {
    // A UTF-8 character cut between two words, and a folded subject with LF line ends.
    std::string utf8 = "\xE5\x86\x99\xE7\x9C\x9F";  // 写真
    std::string raw = "Subject: =?UTF-8?B?" + base64(utf8.substr(0, 4)) + "?=\n =?UTF-8?B?" +
                      base64(utf8.substr(4)) + "?= #1\nX-Other: a\n\nbody\n";
    MessageTexts t = decodeHeaderTexts(raw);
    EXPECT_EQ(t.subject, "写真 #1"_cp);
    EXPECT_EQ(t.header, "Subject: =?UTF-8?B?" + base64(utf8.substr(0, 4)) + "?=\r\n =?UTF-8?B?" +
                            base64(utf8.substr(4)) + "?= #1\r\nX-Other: a\r\n");
}

TEST(HeaderTexts, RawEightBitAndJisHeadersAreRecognised) {
    EXPECT_EQ(decodeHeaderText(kJapaneseUtf8), kJapaneseCp932);
    EXPECT_EQ(decodeHeaderText(kJapaneseJis), kJapaneseCp932);
    EXPECT_EQ(decodeHeaderText(kJapaneseCp932), kJapaneseCp932);
    EXPECT_EQ(decodeHeaderText("=?utf-8?q?a_b=E5=86=99?= c"), "a b写 c"_cp);
    // WAVE DASH and MINUS SIGN as Unix mailers write them become ～ and － of CP932.
    EXPECT_EQ(decodeHeaderText("=?UTF-8?B?" + base64("\xE3\x80\x9C\xE2\x88\x92") + "?="),
              "\x81\x60\x81\x7C");
    EXPECT_EQ(textToCp932("\xE3\x80\x9C", "utf-8"), "\x81\x60");
}

// The later forms of ISO-2022-JP: each character comes out as CP932, or '?' where CP932 has
// none; no escape, SO or SI byte ever reaches the text.
TEST(HeaderTexts, LaterIso2022jpFormsDecodeToCp932) {
    struct Row {
        const char* label;
        const char* charset;
        std::string bytes;
        std::string expected;  // CP932
    };
    const Row rows[] = {
        {"JIS X 0213 plane 1 (2004): row 13 and a kanji CP932 holds as IBM extension",
         "ISO-2022-JP-2004", "\x1B$(Q\x2D\x21\x7A\x37\x1B(B", "\x87\x40\xFA\x5C"},
        {"JIS X 0213 plane 1 (2000)", "ISO-2022-JP-3", "\x1B$(O\x24\x22\x1B(B", "あ"_cp},
        {"JIS X 0213 WAVE DASH", "ISO-2022-JP-2004", "\x1B$(Q\x21\x41\x1B(B", "\x81\x60"},
        {"JIS X 0213 kanji CP932 lacks", "ISO-2022-JP-2004", "a\x1B$(Q\x2E\x21\x1B(Bb", "a?b"},
        {"JIS X 0213 plane 2", "ISO-2022-JP-3", "\x1B$(P\x76\x55\x21\x21\x1B(B", "\xFA\x60?"},
        {"announcer before JIS X 0208", "ISO-2022-JP", "\x1B&@\x1B$B\x24\x22\x1B(Bx", "あx"_cp},
        {"SO and SI", "ISO-2022-JP",
         "a\x0E\x31\x32\x0F"
         "b",
         "aｱｲb"_cp},
        {"SO inside JIS X 0208", "ISO-2022-JP", "\x1B$B\x24\x22\x0E\x31\x0F\x24\x24\x1B(B",
         "あｱい"_cp},
        {"half-width katakana set", "ISO-2022-JP", "\x1B(I\x31\x1B(Bz", "ｱz"_cp},
        {"JIS X 0212", "ISO-2022-JP-1", "\x1B$(D\x64\x69\x30\x21\x1B(B", "\xFA\x5E?"},
        {"Greek by single shift", "ISO-2022-JP-2", "\x1B.F\x1BN\x61", "α"_cp},
        {"Latin-1 by single shift", "ISO-2022-JP-2", "\x1B.A\x1BN\x57", "×"_cp},
        {"unknown double-byte set", "ISO-2022-JP", "\x1B$(Z\x21\x21\x21\x22\x1B(Bok", "??ok"},
        {"unknown single-byte set", "ISO-2022-JP", "\x1B(Zab\x1B(Bok", "??ok"},
        {"escape cut off", "ISO-2022-JP", "abc\x1B$(", "abc"},
        {"escape before a line end", "ISO-2022-JP", "a\x1B\r\nb", "a\r\nb"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::string text = textToCp932(row.bytes, row.charset);
        EXPECT_EQ(text, row.expected);
        EXPECT_EQ(text.find_first_of("\x1B\x0E\x0F"), std::string::npos);
        // Raw in a header, as old Japanese mailers write it.
        EXPECT_EQ(decodeHeaderText(row.bytes), row.expected);
    }
    EXPECT_EQ(decodeHeaderText("=?ISO-2022-JP-2004?B?" + base64("\x1B$(Q\x7A\x37\x1B(B") + "?="),
              "\xFA\x5C");
}

TEST(OutgoingText, Iso2022jpOnlyForJisX0208) {
    std::string out;
    ASSERT_TRUE(cp932ToIso2022jp("テスト abc"_cp, out));
    EXPECT_EQ(out, "\x1B$B\x25\x46\x25\x39\x25\x48\x1B(B abc");
    EXPECT_EQ(textToCp932(out, "ISO-2022-JP"), "テスト abc"_cp);
    EXPECT_FALSE(cp932ToIso2022jp("\x87\x40", out));  // ① (NEC row 13)
    EXPECT_FALSE(cp932ToIso2022jp("\xFB\xFC", out));  // 髙 (IBM extension)
    EXPECT_FALSE(cp932ToIso2022jp("\xB1", out));      // half-width ｱ
    // Header words decode back to the same text, also past one word's length.
    std::string longText;
    for (int i = 0; i < 30; ++i) longText += "長い件名"_cp;
    for (const std::string& text : {std::string("テスト"_cp), kJapaneseCp932, longText}) {
        std::string encoded = encodeHeaderText(text);
        for (unsigned char c : encoded) EXPECT_LT(c, 0x80);
        EXPECT_EQ(decodeHeaderText(encoded), text);
    }
}

TEST(OutgoingText, EveryJisX0208CharacterRoundTripsThroughIso2022jp) {
    int accepted = 0;
    for (int lead = 0x81; lead <= 0xEF; ++lead) {
        if (lead > 0x9F && lead < 0xE0) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            std::string ch{static_cast<char>(lead), static_cast<char>(trail)};
            if (utf8ToCp932(cp932ToUtf8(ch)) != ch) continue;  // unassigned or a duplicate code
            std::string jis;
            if (!cp932ToIso2022jp(ch, jis)) continue;
            ++accepted;
            ASSERT_EQ(textToCp932(jis, "ISO-2022-JP"), ch) << std::hex << lead << " " << trail;
        }
    }
    EXPECT_GE(accepted, 6800);  // JIS X 0208 holds 6879 characters
}

}  // namespace
