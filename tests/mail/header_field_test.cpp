// MailLibGetHeaderField: unfolding, decoding, field names without regard to case, buffer bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "mail/maillib.h"
#include "mail/mime/header_text.h"
#include "platform/codepage.h"

using namespace korv;
using namespace korv::mail;

namespace {

const std::string kHeader =
    "Return-Path: <a@example.jp>\r\n"
    "Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\n"
    " =?UTF-8?B?44Gn44GZ?= and more\r\n"
    "reply-to: Someone\r\n"
    "\t<reply@example.jp>\r\n"
    "X-Subject: not this one\r\n"
    "Empty:\r\n"
    "From: =?Shift_JIS?B?gUCHQA==?= <f@example.jp>\r\n";

TEST(HeaderField, FoundUnfoldedDecodedAndCaseInsensitive) {
    struct Row {
        const char* label;
        const char* field;
        int found;
        std::string value;
    };
    const Row rows[] = {
        {"encoded and folded", "Subject:", 1, "テストです and more"_cp},
        {"other case in header", "Reply-To:", 1, "Someone\t<reply@example.jp>"},
        {"other case in query", "SUBJECT:", 1, "テストです and more"_cp},
        {"extension character", "From:", 1, "\x81\x40\x87\x40 <f@example.jp>"},
        {"present but empty", "Empty:", 1, ""},
        {"absent", "Cc:", 0, ""},
        {"name is a suffix of another", "ubject:", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        char out[kMailBufferBytes];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(MailLibGetHeaderField(out, kHeader.c_str(), row.field, kMailTextSize) != 0,
                  row.found != 0);
        EXPECT_EQ(std::string(out), row.value);
    }
}

TEST(HeaderField, LongValuesStayWithinTheBuffer) {
    for (std::size_t length : {8190u, 8191u, 8192u, 100000u}) {
        SCOPED_TRACE(length);
        std::string value(length, 'v');
        std::string header = "Subject: " + value + "\r\nX: y\r\n";
        // Exactly the MailBuffer's size on the heap, so that an overrun is caught.
        auto out = std::make_unique<char[]>(kMailBufferBytes);
        ASSERT_NE(MailLibGetHeaderField(out.get(), header.c_str(), "Subject:", kMailTextSize), 0);
        std::string got(out.get());
        EXPECT_EQ(got, value.substr(0, std::min<std::size_t>(length, kMailTextSize - 1)));
    }
    // A double-byte character is never cut in half.
    std::string wide;
    for (int i = 0; i < 5000; ++i) wide += "漢"_cp;
    auto out = std::make_unique<char[]>(kMailBufferBytes);
    MailLibGetHeaderField(out.get(), ("Subject: a" + wide + "\r\n").c_str(),
                          "Subject:", kMailTextSize);
    EXPECT_EQ(std::string(out.get()), std::string("a").append(wide, 0, 8190));
}

// What looks like the start of an encoded word but is none stays as it is, and never hides a
// real word after it.
TEST(HeaderField, OnlyWholeEncodedWordsAreDecoded) {
    const std::string sha = "=?UTF-8?B?5YaZ?=";  // 写
    struct Row {
        const char* label;
        std::string raw;
        std::string decoded;  // UTF-8
    };
    const Row rows[] = {
        {"opener without an end, then a word", "=?utf-8?B?x " + sha, "=?utf-8?B?x 写"},
        {"openers without blanks, then a word", "=?a?B?x=?a?B?x " + sha, "=?a?B?x=?a?B?x 写"},
        {"blank inside is no word", "=?UTF-8?Q?a b?= " + sha, "=?UTF-8?Q?a b?= 写"},
        {"blank in the charset is no word", "=?UT F-8?B?5YaZ?=", "=?UT F-8?B?5YaZ?="},
        {"adjacent words", sha + "=?UTF-8?B?55yf?=", "写真"},
        {"words across a fold", sha + "\r\n =?UTF-8?B?55yf?= x", "写真 x"},
        {"encoded question mark and equals", "=?utf-8?Q?a=3F=3Db?=", "a?=b"},
        {"bare openers", "=?=?=?" + sha, "=?=?=?写"},
        {"end marker far behind blanks", "=?a?Q?x =?a?Q?x ?=", "=?a?Q?x =?a?Q?x ?="},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(decodeHeaderText(row.raw), utf8ToCp932(row.decoded));
    }
}

TEST(HeaderField, HugeHostileFieldsAreDecodedWithinTheCap) {
    // A megabyte of openers gives its first 8 KB back, as written.
    std::string openers;
    while (openers.size() < 1024 * 1024) openers += "=?a?B?x";
    auto out = std::make_unique<char[]>(kMailBufferBytes);
    ASSERT_NE(MailLibGetHeaderField(out.get(), ("Subject: " + openers + "\r\n").c_str(),
                                    "Subject:", kMailTextSize),
              0);
    EXPECT_EQ(std::string(out.get()), openers.substr(0, kMailTextSize - 1));
    // A word inside the decoded part counts, one past it does not.
    const std::string word = "=?UTF-8?B?5YaZ?=";
    std::string inside(kMaxDecodedHeaderBytes - word.size(), ' ');
    EXPECT_EQ(decodeHeaderText(inside + word), inside + "写"_cp);
    std::string beyond(kMaxDecodedHeaderBytes, ' ');
    EXPECT_EQ(decodeHeaderText(beyond + word), beyond);
}

}  // namespace
