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
