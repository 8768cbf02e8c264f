// The hand-off of a message's picture to a gallery folder, with its link request, on real files.
#include "gallery/gallery_hand_off.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "gallery/session.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "support/fake_clock.h"
#include "support/named_rows.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

namespace {

class NullSink : public LineSink {
  public:
    void addLine(const std::string&) override {}
    void replaceLastLine(const std::string&) override {}
};

// Every file under a folder with its content, to prove that nothing was written.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        files[e.path().string()] = e.is_regular_file() ? readBytes(e.path().string()) : "<dir>";
    }
    return files;
}

std::string linkRequest(const std::string& linkFrom, const std::string& id,
                        const std::string& story) {
    return "<qltkeys>\r\nrequest=link\r\nlinkfrom=" + linkFrom + "\r\nid=" + id +
           "\r\nStory=" + story + "\r\n</qltkeys>\r\n";
}

// A temporary world: T/sessions/acme.txt naming T/gallery/acme/ with template img### and a
// counter at 42, and a message folder T/msg/ holding a.png, b.jpg and photo.JPEG.
class HandOff : public testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("sessions"));
        std::filesystem::create_directories(gallery);
        std::filesystem::create_directories(dir.file("msg"));
        writeSession("acme",
                     "path=" + dir.file("gallery/acme") + "\r\nFileNameTemplate=img###\r\n");
        writeBytes(gallery + "counter.txt", "42\r\n");
        writeBytes(dir.file("msg/a.png"), pngShaped("png picture"));
        writeBytes(dir.file("msg/b.jpg"), jpegShaped("jpeg picture"));
        writeBytes(dir.file("msg/photo.JPEG"), jpegShaped("upper-case picture"));
        writeBytes(dir.file("msg/my photo.jpg"), jpegShaped("picture with a blank"));
        writeBytes(dir.file("default.png"), "default picture");
        status.BeginStatusLine();
    }

    void writeSession(const std::string& account, const std::string& content) {
        writeBytes(nativePath(dir.file("sessions/") + account + ".txt").string(), content);
    }

    void handOff(const std::string& subject, const std::string& body,
                 const std::string& attachments, const std::string& defaultImg = "") {
        GalleryHandOff gallery({defaultImg, dir.file("sessions/")}, status, clock);
        ArchivedMessage m{dir.file("msg/"),
                          subject,
                          "Mon, 7 Dec 2026 09:00:00 +0900",
                          "someone@example.com",
                          "someone@example.com",
                          "Subject: x",
                          body,
                          attachments};
        gallery.prepare(m);
        gallery.carryOut();
    }

    std::string appended() const { return status.StatusLine().substr(lineStart.size()); }

    TempDir dir;
    std::string gallery = dir.file("gallery/acme/");
    FakeClock clock{DateTime{2026, 12, 7, 9, 5, 3, 42}};
    NullSink sink;
    StatusLog status{sink, clock, dir.file("account/")};
    std::string lineStart = "2026-12-07 09:05:03 ";
};

TEST_F(HandOff, PictureLandsAsTheCounterNextNameBesideItsLinkRequest) {
    handOff("sunset@acme", "1234＃写真です\r\n夕日の浜辺"_cp, "a.png,b.jpg");

    EXPECT_TRUE(status.StatusLine().ends_with(" ->img043.jpg")) << status.StatusLine();
    EXPECT_EQ(appended(), " ->img043.jpg");
    EXPECT_EQ(readBytes(gallery + "img043.jpg"), jpegShaped("jpeg picture"));
    EXPECT_EQ(readBytes(gallery + "img043.txt"),
              linkRequest("sunset.jpg", "1234", "写真です<br>夕日の浜辺"_cp));
    EXPECT_EQ(readBytes(gallery + "counter.txt"), "43");

    // The time of the hand-off, seconds rounded down to even.
    auto written = std::filesystem::last_write_time(gallery + "img043.jpg");
    auto expected = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(
        std::chrono::seconds(toEpochSeconds(DateTime{2026, 12, 7, 9, 5, 2, 0}))));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(written - expected).count(), 0);
}

TEST_F(HandOff, UnknownOrEscapingAccountsWriteNothing) {
    // Where "x@../../etc" would lead from T/sessions/: T/../etc.txt, outside the test's folder.
    // Plant sessions where the shorter escapes would lead, aiming at a folder of their own.
    std::filesystem::create_directories(dir.file("outside"));
    std::string evil = "path=" + dir.file("outside") + "\r\nFileNameTemplate=img###\r\n";
    writeBytes(dir.file("etc.txt"), evil);
    writeBytes(dir.file("sessions/..txt"), evil);
    writeBytes(dir.file("sessions/...txt"), evil);
    std::filesystem::create_directories(dir.file("sessions/sub"));
    writeBytes(dir.file("sessions/sub/x.txt"), evil);
    // A lead byte before "/" does not hide the "/": the file system would get U+FFFD and "/".
    std::filesystem::create_directories(dir.file("sessions/\xEF\xBF\xBD"));
    writeBytes(dir.file("sessions/\xEF\xBF\xBD/x.txt"), evil);
    auto parentBefore = std::filesystem::exists(dir.file("../etc.txt"));
    auto before = snapshot(dir.path());

    for (const std::string& subject : std::vector<std::string>{
             "x@nobody", "x@../etc", "x@../../etc", "x@..\\etc", "x@.", "x@..", "x@sub/x",
             "x@sub\\x", "x@C:etc", "x@\x81/x", "x@" + std::string(300, 'a')}) {
        SCOPED_TRACE(subject);
        handOff(subject, "1#story", "b.jpg");
        EXPECT_EQ(appended(), "");
    }
    EXPECT_EQ(snapshot(dir.path()), before);
    EXPECT_EQ(std::filesystem::exists(dir.file("../etc.txt")), parentBefore);
}

struct SilentRow : NamedRow {
    std::string subject;
    std::string attachments;
    bool withDefault;
    std::string session;  // replaces acme's session file when not empty
};

class HandOffSilent : public HandOff, public testing::WithParamInterface<SilentRow> {};

TEST_P(HandOffSilent, StopsWithoutATrace) {
    const auto& row = GetParam();
    if (!row.session.empty()) writeSession("acme", row.session);
    auto before = snapshot(dir.path());
    handOff(row.subject, "1#story", row.attachments,
            row.withDefault ? dir.file("default.png") : "");
    EXPECT_EQ(appended(), "");
    EXPECT_EQ(snapshot(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandOffSilent,
    testing::Values(SilentRow{"EmptySubject", "", "b.jpg", true, ""},
                    SilentRow{"NoAt", "sunset", "b.jpg", true, ""},
                    SilentRow{"AtFirst", "@acme", "b.jpg", true, ""},
                    SilentRow{"AtLast", "sunset@", "b.jpg", true, ""},
                    SilentRow{"NoPictureNoDefault", "sunset@acme", "doc.pdf,a.gif", false, ""},
                    SilentRow{"NoAttachmentsNoDefault", "sunset@acme", "", false, ""},
                    SilentRow{"FolderPartsAreNoAttachment", "sunset@acme", "../msg/b.jpg", false,
                              ""},
                    SilentRow{"SessionWithoutPath", "sunset@acme", "b.jpg", true,
                              "FileNameTemplate=img###\r\n"},
                    SilentRow{"SessionPathMissing", "sunset@acme", "b.jpg", true,
                              "path=/nonexistent/korvanto/gallery\r\n"}),
    byName);

struct PictureRow : NamedRow {
    std::string attachments;
    bool withDefault;
    std::string expectedContent;
    std::string expectedExt;
};

class HandOffPicture : public HandOff, public testing::WithParamInterface<PictureRow> {};

TEST_P(HandOffPicture, CopiesTheChosenPicture) {
    const auto& row = GetParam();
    handOff("sunset@acme", "1#x", row.attachments, row.withDefault ? dir.file("default.png") : "");
    EXPECT_EQ(appended(), " ->img043" + row.expectedExt);
    EXPECT_EQ(readBytes(gallery + "img043" + row.expectedExt), row.expectedContent);
    EXPECT_TRUE(std::filesystem::exists(gallery + "img043.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandOffPicture,
    testing::Values(
        PictureRow{"LastPictureWins", "a.png,b.jpg", false, jpegShaped("jpeg picture"), ".jpg"},
        PictureRow{"PngLast", "b.jpg,a.png", false, pngShaped("png picture"), ".png"},
        PictureRow{"OtherFilesAfterThePicture", "b.jpg,doc.pdf", false, jpegShaped("jpeg picture"),
                   ".jpg"},
        PictureRow{"UpperCaseJpegGivesLowerExtension", "photo.JPEG", false,
                   jpegShaped("upper-case picture"), ".jpeg"},
        PictureRow{"QuotedNameWithBlank", "\"my photo.jpg\"", false,
                   jpegShaped("picture with a blank"), ".jpg"},
        PictureRow{"TrailingComma", "b.jpg,", false, jpegShaped("jpeg picture"), ".jpg"},
        PictureRow{"BlanksAroundNames", " a.png ,\tb.jpg ", false, jpegShaped("jpeg picture"),
                   ".jpg"},
        PictureRow{"DefaultWhenNoPicture", "doc.pdf", true, "default picture", ".png"},
        PictureRow{"AttachedBeatsDefault", "a.png", true, pngShaped("png picture"), ".png"}),
    byName);

TEST_F(HandOff, FailedCopyWritesNoLinkRequestAndSaysSo) {
    // Unquoted, "my photo.jpg" is two items; the picture "photo.jpg" does not exist.
    EXPECT_THROW(handOff("sunset@acme", "1#x", "my photo.jpg"), HandOffError);
    EXPECT_EQ(appended(), " ->コピー失敗 img043.jpg"_cp);
    EXPECT_FALSE(std::filesystem::exists(gallery + "img043.jpg"));
    EXPECT_FALSE(std::filesystem::exists(gallery + "img043.txt"));
}

struct BodyRow : NamedRow {
    std::string body;
    std::string id;
    std::string story;
};

class HandOffBody : public HandOff, public testing::WithParamInterface<BodyRow> {};

TEST_P(HandOffBody, WritesSixLineRequest) {
    const auto& row = GetParam();
    handOff("sunset@acme", row.body, "b.jpg");
    std::string request = readBytes(gallery + "img043.txt");
    EXPECT_EQ(request, linkRequest("sunset.jpg", row.id, row.story));
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = request.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    EXPECT_EQ(lines, 6u);
    EXPECT_EQ(request.find_first_of("\r\n"), request.find("\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandOffBody,
    testing::Values(
        BodyRow{"Example", "1234#Nice evening\r\nAt the beach", "1234",
                "Nice evening<br>At the beach"},
        BodyRow{"HashBeatsEarlierFullWidth", "12＃x#y"_cp, "12＃x"_cp, "y"},
        BodyRow{"FullWidthHash", "1234＃写真です"_cp, "1234", "写真です"_cp},
        BodyRow{"EmptyIdIsUnknown", "#text", "unknown", "text"},
        BodyRow{"NoMark", "just words\r\nand more", "unknown", "just words<br>and more"},
        BodyRow{"EmptyBody", "", "unknown", ""}, BodyRow{"BlanksKept", " 7 # a ", " 7 ", " a "},
        BodyRow{"BreakInIdStaysOneLine", "first\r\nsecond#story", "first<br>second", "story"},
        BodyRow{"LoneBreaksInStory", "1#a\rb\nc\r\n\r\nd", "1", "a<br>b<br>c<br><br>d"},
        BodyRow{"LoneBreaksInId", "a\nb\rc#s", "a<br>b<br>c", "s"},
        // ソ is 0x83 0x5C and 表 0x95 0x5C; the second byte of 偽 (0x8B 0x55) is not a "#".
        BodyRow{"DoubleBytesKept", "ソ表#偽"_cp, "ソ表"_cp, "偽"_cp}),
    byName);

TEST_F(HandOff, SubjectWithTwoAtsAndBlanksChoosesTheAccountUnaltered) {
    writeSession("b@c", "path=" + dir.file("gallery/acme") + "\r\nFileNameTemplate=img###\r\n");
    handOff("a@b@c", "1#x", "b.jpg");
    EXPECT_EQ(readBytes(gallery + "img043.txt"), linkRequest("a.jpg", "1", "x"));

    writeSession(" acme", "path=" + dir.file("gallery/acme") + "\r\nFileNameTemplate=img###\r\n");
    handOff("sunset @ acme", "2#y", "b.jpg");
    EXPECT_EQ(readBytes(gallery + "img044.txt"), linkRequest("sunset .jpg", "2", "y"));
}

TEST_F(HandOff, ALineBreakInTheSubjectStaysInsideItsLine) {
    writeSession("acme", "path=" + dir.file("gallery/acme") + "\r\nFileNameTemplate=img###\r\n");
    handOff("sun\r\nset@acme", "1#x", "b.jpg");
    EXPECT_EQ(readBytes(gallery + "img043.txt"), linkRequest("sun<br>set.jpg", "1", "x"));
}

// A FIFO would hold the poll until somebody wrote into it.
TEST_F(HandOff, ASessionOrCounterThatIsNoFileIsAnErrorNotAWait) {
    for (const std::string& fifo : {gallery + "counter.txt", dir.file("sessions/acme.txt")}) {
        SCOPED_TRACE(fifo);
        std::filesystem::remove(fifo);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_THROW(handOff("sunset@acme", "1#x", "b.jpg"), std::runtime_error);
        std::filesystem::remove(fifo);
        writeBytes(fifo, "42");
    }
}

TEST_F(HandOff, TimeStampNamesWithSuffixesWhenTaken) {
    writeSession("acme", "path=" + dir.file("gallery/acme") + "\r\n");
    handOff("sunset@acme", "1#x", "b.jpg");
    EXPECT_EQ(appended(), " ->20261207-090503-042.jpg");

    handOff("sunset@acme", "2#y", "a.png");  // the .txt of the first one blocks the base
    EXPECT_EQ(appended(), " ->20261207-090503-042.jpg ->20261207-090503-042000.png");

    writeBytes(gallery + "20261207-090503-042001.txt", "taken");
    handOff("sunset@acme", "3#z", "b.jpg");
    EXPECT_TRUE(status.StatusLine().ends_with(" ->20261207-090503-042002.jpg"));
    EXPECT_EQ(readBytes(gallery + "20261207-090503-042002.txt"),
              linkRequest("sunset.jpg", "3", "z"));
    EXPECT_EQ(readBytes(gallery + "counter.txt"), "42\r\n");  // not touched without a template
}

TEST_F(HandOff, MissingCounterLineUsesCounterInTheGallery) {
    std::filesystem::remove(gallery + "counter.txt");
    handOff("sunset@acme", "1#x", "b.jpg");
    EXPECT_EQ(appended(), " ->img001.jpg");
    EXPECT_EQ(readBytes(gallery + "counter.txt"), "1");
}

TEST_F(HandOff, CounterNamedInTheSessionFileIsUsedAsGiven) {
    writeSession("acme", "path=" + dir.file("gallery/acme") +
                             "\r\nFileNameTemplate=pic####\r\nFileNameCounter=" +
                             dir.file("elsewhere.dat") + "\r\n");
    writeBytes(dir.file("elsewhere.dat"), "7");
    handOff("sunset@acme", "1#x", "b.jpg");
    EXPECT_EQ(appended(), " ->pic0008.jpg");
    EXPECT_EQ(readBytes(gallery + "counter.txt"), "42\r\n");
}

TEST_F(HandOff, NoFreeNameStopsWithANote) {
    writeSession("acme", "path=" + dir.file("gallery/acme") + "\r\nFileNameTemplate=#\r\n");
    for (char d = '0'; d <= '9'; ++d) writeBytes(gallery + d + ".txt", "taken");
    auto before = snapshot(dir.path());
    EXPECT_THROW(handOff("sunset@acme", "1#x", "b.jpg"), HandOffError);
    EXPECT_EQ(appended(), " ->採番失敗"_cp);
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(HandOff, UnreadableCounterFailsBeforeAnythingIsCopied) {
    writeBytes(gallery + "counter.txt", "7abc");
    auto before = snapshot(dir.path());
    EXPECT_THROW(handOff("sunset@acme", "1#x", "b.jpg"), ConversionError);
    EXPECT_EQ(appended(), "");
    EXPECT_EQ(snapshot(dir.path()), before);
}

TEST_F(HandOff, LinkRequestThatCannotBeWrittenTakesThePictureBackOut) {
    std::filesystem::create_directory(gallery + "img043.txt");  // a folder does not block a name
    EXPECT_THROW(handOff("sunset@acme", "1#x", "b.jpg"), FileError);
    EXPECT_EQ(appended(), "");
    EXPECT_FALSE(std::filesystem::exists(gallery + "img043.jpg"));
}

}  // namespace
