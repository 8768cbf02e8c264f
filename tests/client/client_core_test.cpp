// The window-free parts of the mail client: header blocks, the private attachment folder and the
// extraction dialog's acceptance rules.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "client/client_core.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "support/named_rows.h"
#include "support/temp_dir.h"
#include "support/temp_location.h"

namespace korv {
namespace {

struct LineEndCase : test::NamedRow {
    std::size_t headerLength;
    std::string expectedTail;  // what follows the header text
};

class HeaderLineEnd : public ::testing::TestWithParam<LineEndCase> {};

TEST_P(HeaderLineEnd, StaysWithin8191Characters) {
    const auto& c = GetParam();
    auto block = NewHeaderBlock();
    std::memset(block.get(), 'h', c.headerLength);
    block[c.headerLength] = '\0';
    AppendHeaderLineEnd(block.get());
    std::string text = HeaderBlockText(block.get());
    EXPECT_EQ(text, std::string(c.headerLength, 'h') + c.expectedTail);
    EXPECT_LE(text.size(), 8191u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, HeaderLineEnd,
                         ::testing::Values(LineEndCase{"Empty", 0, "\r\n"},
                                           LineEndCase{"Short", 40, "\r\n"},
                                           LineEndCase{"RoomForBoth", 8189, "\r\n"},
                                           LineEndCase{"RoomForCrOnly", 8190, "\r"},
                                           LineEndCase{"Full", 8191, ""}),
                         test::byName);

TEST(HeaderBlock, AHeaderWithoutTerminatorIsReadOnlyWithinTheBlock) {
    auto block = NewHeaderBlock();
    std::memset(block.get(), 'x', kHeaderBlockBytes);
    EXPECT_EQ(HeaderBlockText(block.get()).size(), static_cast<std::size_t>(kHeaderBlockBytes));
}

TEST(MessageBody, EveryLineEndsWithCrLf) {
    EXPECT_EQ(BuildMessageBody({}), "");
    EXPECT_EQ(BuildMessageBody({"a", "", "b"}), "a\r\n\r\nb\r\n");
}

TEST(MessageBody, TextFromMailBecomesOneLine) {
    EXPECT_EQ(OneLine("a\r\nb\rc\nd\r\n\r\n"), "a b c d  ");
    EXPECT_EQ(OneLine("件名"_cp), "件名"_cp);
}

struct ThreadCase : test::NamedRow {
    std::string messageId, references, expected;
};

class ReplyThread : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(ReplyThread, TakesOverWellFormedIdsOnly) {
    const auto& c = GetParam();
    EXPECT_EQ(ReplyThreadHeaders(c.messageId, c.references), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Originals, ReplyThread,
    ::testing::Values(
        ThreadCase{"OnlyAMessageId", "<orig@example.jp>", "",
                   "In-Reply-To: <orig@example.jp>\r\nReferences: <orig@example.jp>"},
        ThreadCase{"ReferencesThenTheId", " <orig@example.jp> ", "<a@x>\t<b@x>  <c@x>",
                   "In-Reply-To: <orig@example.jp>\r\n"
                   "References: <a@x> <b@x> <c@x> <orig@example.jp>"},
        ThreadCase{"NoMessageIdNoThread", "", "<a@x>", ""},
        ThreadCase{"AMessageIdWithoutBrackets", "orig@example.jp", "", ""},
        ThreadCase{"ALineBreakInsideAnId", "<orig\r\nBcc: x@y>", "", ""},
        ThreadCase{"JunkBetweenReferencesIsLeftOut", "<orig@x>",
                   "<a@x>\r\nBcc: third@example.net <b c@x> <8bit\x82\xA0@x> <b@x>",
                   "In-Reply-To: <orig@x>\r\nReferences: <a@x> <b@x> <orig@x>"},
        ThreadCase{"AnIdTooLongForALine", "<" + std::string(300, 'i') + "@x>", "", ""},
        ThreadCase{"TheIdAlreadyLastInReferences", "<orig@x>", "<a@x> <orig@x>",
                   "In-Reply-To: <orig@x>\r\nReferences: <a@x> <orig@x>"}),
    test::byName);

class AttachmentFolderTest : public ::testing::Test {
  protected:
    mode_t modeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        return st.st_mode & 07777;
    }

    test::TempLocation tmp_;
    std::string expected_ = tmp_.path() + "korvanto-" + std::to_string(geteuid());
};

TEST_F(AttachmentFolderTest, IsCreatedForTheOwnerOnlyAndReused) {
    EXPECT_EQ(AttachmentFolder(), expected_ + "/");
    EXPECT_EQ(modeOf(expected_), 0700u);
    test::writeBytes(expected_ + "/earlier.jpg", "x");
    EXPECT_EQ(AttachmentFolder(), expected_ + "/");
    EXPECT_EQ(test::readBytes(expected_ + "/earlier.jpg"), "x");
}

TEST_F(AttachmentFolderTest, OurFolderWithLooseRightsIsClosed) {
    ASSERT_EQ(mkdir(expected_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(expected_.c_str(), 0777), 0);
    AttachmentFolder();
    EXPECT_EQ(modeOf(expected_), 0700u);
}

TEST_F(AttachmentFolderTest, ARegularFileInItsPlaceIsRefused) {
    test::writeBytes(expected_, "not a folder");
    EXPECT_THROW(AttachmentFolder(), FileError);
    EXPECT_EQ(test::readBytes(expected_), "not a folder");
}

TEST_F(AttachmentFolderTest, ALinkInItsPlaceIsRefused) {
    std::string elsewhere = tmp_.path() + "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), expected_.c_str()), 0);
    try {
        AttachmentFolder();
        FAIL() << "a link was accepted";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find(expected_), std::string::npos) << e.what();
    }
}

TEST_F(AttachmentFolderTest, AFolderOfAnotherUserIsRefused) {
    ASSERT_EQ(mkdir(expected_.c_str(), 0700), 0);
    if (chown(expected_.c_str(), geteuid() + 4711, getegid()) != 0)
        GTEST_SKIP() << "cannot give a folder away without root";
    EXPECT_THROW(AttachmentFolder(), FileError);
}

struct PartCase : test::NamedRow {
    int status;
    std::string id;
    bool listEmpty;
    int expectedPart;
    std::string splitIdBefore;
    PartDecision decision;
    std::string splitIdAfter;
};

class PartAcceptance : public ::testing::TestWithParam<PartCase> {};

TEST_P(PartAcceptance, DecidesAndRemembersTheSplitId) {
    const auto& c = GetParam();
    std::string splitId = c.splitIdBefore;
    EXPECT_EQ(DecidePart(c.status, c.id, c.listEmpty, c.expectedPart, splitId), c.decision);
    EXPECT_EQ(splitId, c.splitIdAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PartAcceptance,
    ::testing::Values(
        PartCase{"WholeMessageFirst", 0, "", true, 1, "old", PartDecision::Add, "old"},
        PartCase{"WholeMessageSecond", 0, "", false, 2, "old", PartDecision::WrongOrder, "old"},
        PartCase{"NoAttachment", -1, "", true, 1, "old", PartDecision::NoAttachment, "old"},
        PartCase{"NoAttachmentLater", -3, "", false, 2, "", PartDecision::NoAttachment, ""},
        PartCase{"PartTwoFirst", 2, "A", true, 1, "", PartDecision::WrongOrder, ""},
        PartCase{"PartOneTaken", 1, "A", true, 1, "old", PartDecision::Add, "A"},
        PartCase{"PartThreeAfterOne", 3, "A", false, 2, "A", PartDecision::WrongOrder, "A"},
        PartCase{"PartTwoOfAnother", 2, "B", false, 2, "A", PartDecision::Mismatch, "A"},
        PartCase{"PartTwoOfTheSame", 2, "A", false, 2, "A", PartDecision::Add, "A"},
        PartCase{"PartTwoAfterWholeSameId", 2, "A", false, 2, "A", PartDecision::Add, "A"},
        PartCase{"PartTwoAfterWholeOtherId", 2, "B", false, 2, "A", PartDecision::Mismatch, "A"},
        PartCase{"IdsCompareByteForByte", 2, "a", false, 2, "A", PartDecision::Mismatch, "A"}),
    test::byName);

TEST(PartAcceptance, RefusalTexts) {
    EXPECT_EQ(RefusalMessage(PartDecision::NoAttachment), "添付ファイルが存在しません"_cp);
    EXPECT_EQ(RefusalMessage(PartDecision::WrongOrder),
              "分割されたメールデータの順番が正しくありません。"_cp);
    EXPECT_EQ(RefusalMessage(PartDecision::Mismatch), "分割されたメールデータが一致しません。"_cp);
}

TEST(ExtractionReport, TextsByResult) {
    ExtractionResult done{1, "photo.jpg", "line 1\r\nline 2\r\n"};
    EXPECT_EQ(
        ExtractionReport(done, "/home/u/out"),
        "/home/u/out に添付ファイル photo.jpg を作成しました。\r\n\r\n本文:\r\nline 1\r\nline 2\r\n"_cp);
    EXPECT_EQ(ExtractionReport({-5, "", ""}, "/x"), "添付ファイルをオープンできません。"_cp);
    EXPECT_EQ(ExtractionReport({-6, "", ""}, "/x"), "分割されたメールが全て揃っていません。"_cp);
    EXPECT_EQ(ExtractionReport({0, "", ""}, "/x"), "");
    EXPECT_EQ(ExtractionReport({-1, "", ""}, "/x"), "");
}

}  // namespace
}  // namespace korv
