#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/paths.h"

using namespace korv;

TEST(Codepage, RoundTripsJapaneseAndExtensionCharacters) {
    for (const char* text : {"開始", "①髙～－", "ログイン失敗", "ｷｬﾝｾﾙ"}) {
        std::string cp = utf8ToCp932(text);
        EXPECT_EQ(cp932ToUtf8(cp), text);
    }
    EXPECT_EQ(utf8ToCp932("①"), "\x87\x40");
    EXPECT_EQ(utf8ToCp932("髙"), "\xFB\xFC");
    EXPECT_EQ(utf8ToCp932("～"), "\x81\x60");
}

TEST(Codepage, UnrepresentableBecomesQuestionMark) {
    EXPECT_EQ(utf8ToCp932("a\xF0\x9F\x98\x80"
                          "b"),
              "a?b");
}

TEST(Paths, TrailingDelimiterRespectsDoubleByteCharacters) {
    // 表 is 0x95 0x5C: its second byte is a backslash but no delimiter.
    std::string hyo = utf8ToCp932("表");
    EXPECT_FALSE(endsWithPathDelimiter("D:/gallery/" + hyo));
    EXPECT_EQ(withTrailingDelimiter("D:/" + hyo), "D:/" + hyo + "/");
    EXPECT_TRUE(endsWithPathDelimiter("D:\\g\\"));
    EXPECT_EQ(withTrailingDelimiter("a/"), "a/");
}

TEST(Paths, ExtensionStopsAtDelimitersAndColons) {
    EXPECT_EQ(extensionOf("photo.JPEG"), ".JPEG");
    EXPECT_EQ(extensionOf("dir.x/name"), "");
    EXPECT_EQ(extensionOf("c.d:name"), "");
    EXPECT_EQ(extensionOf("a.b.png"), ".png");
    EXPECT_EQ(extensionOf("noext"), "");
}

TEST(Codepage, ToUtf8ThroughIcuOrTheCLibrary) {
    struct Row {
        const char* label;
        const char* charset;
        std::string bytes;
        bool known;
        std::string utf8;
    };
    const Row rows[] = {
        // ICU has no JIS X 0213; the C library's iconv does.
        {"JIS X 0213 plane 1", "EUC-JISX0213", "\xAD\xA1\xFA\xB7", true, "①纊"},
        {"JIS X 0213 plane 2", "EUC-JISX0213", "\x8F\xF6\xD5", true, "蓜"},
        {"broken byte in iconv's charsets", "EUC-JISX0213",
         "a\xFF"
         "b",
         true,
         "a\xEF\xBF\xBD"
         "b"},
        {"cut off at the end", "EUC-JISX0213", "a\xAD", true, "a\xEF\xBF\xBD"},
        {"JIS X 0212 through ICU", "EUC-JP", "\x8F\xE4\xE9", true, "鍈"},
        {"Shift-JIS alias", "Shift_JIS", "\x95\x5C", true, "表"},
        {"unknown charset", "x-nothing", "abc", false, ""},
        {"empty charset", "", "abc", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::string out;
        EXPECT_EQ(toUtf8(row.bytes, row.charset, out), row.known);
        if (row.known) {
            EXPECT_EQ(out, row.utf8);
        }
    }
}

TEST(Paths, WindowsDeviceNamesInAnyCaseWhateverFollowsTheirDot) {
    for (const char* name : {"con", "CON", "nul.jpg", "Aux.tar.gz", "prn", "com1", "COM9.txt",
                             "lpt1", "lpt9.txt", "nul .txt", "conin$", "CONOUT$.log"})
        EXPECT_TRUE(isWindowsDeviceName(name)) << name;
    for (const char* name :
         {"console", "com10", "lpt", "com", "anul.jpg", "con_", "x.con", "", "comA.txt"})
        EXPECT_FALSE(isWindowsDeviceName(name)) << name;
}

TEST(Codepage, ControlCodesAreThemselvesAndBadBytesAQuestionMark) {
    struct Row {
        const char* label;
        const char* charset;
        std::string bytes;
        std::string cp932;
    };
    // ICU's IBM table for CP932 swaps 0x1A, 0x1C and 0x7F; the Windows code page does not.
    const std::string controls = "\x1A\x1C\x7F";
    const Row rows[] = {
        {"CP932 through UTF-8 and back", "utf-8", controls + "\xE8\xA1\xA8", controls + "\x95\x5C"},
        {"Latin-1", "ISO-8859-1", controls + "\xE9", controls + "?"},
        {"bad byte in EUC-JP", "EUC-JP",
         "a\xFF"
         "b\xC9\xBD",
         "a?b\x95\x5C"},
        {"bad byte in GB2312", "GB2312",
         "a\xFF"
         "b",
         "a?b"},
        {"bad byte in EUC-KR", "EUC-KR",
         "a\xFF"
         "b",
         "a?b"},
        {"bad byte in UTF-8", "utf-8",
         "a\xFF"
         "b",
         "a?b"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(toCp932(row.bytes, row.charset), row.cp932);
    }
    EXPECT_EQ(cp932ToUtf8(controls + "\x95\x5C"), controls + "\xE8\xA1\xA8");
    EXPECT_EQ(utf8ToCp932(controls + "\xE8\xA1\xA8"), controls + "\x95\x5C");
    std::string out;
    EXPECT_TRUE(fromCp932(controls + "\x95\x5C", "Shift_JIS", out));
    EXPECT_EQ(out, controls + "\x95\x5C");
}
