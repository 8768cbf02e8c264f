// MailLibGetHeaderField: unfolding, decoding, field names without regard to case, buffer bounds.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "mail/maillib.h"
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
    EXPECT_EQ(std::string(out.get()), "a" + wide.substr(0, 8190));
}

}  // namespace
