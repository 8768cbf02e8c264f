// Extraction from saved message texts: whole messages, and a message split into three parts.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mail/maillib.h"
#include "mail/mime/mime_message.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/mail_texts.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

std::string pictureBytes() {
    std::string bytes = "\xFF\xD8\xFF\xE0";
    for (int i = 0; i < 12000; ++i) bytes += static_cast<char>((i * 31 + i / 7) & 0xFF);
    return bytes;
}

std::string toText(GMimeObject* obj) {
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_object_write_to_stream(obj, options, mem);
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    std::string text(reinterpret_cast<const char*>(array->data), array->len);
    g_object_unref(mem);
    g_mime_format_options_free(options);
    return text;
}

// A message with a text part and a JPEG, split by GMime into message/partial parts of at most
// maxSize bytes; each part as the browser saves it (header block, empty line, body).
std::vector<std::string> splitMessage(const std::string& picture, std::size_t maxSize) {
    ensureMimeInitialised();
    GMimeMessage* message = g_mime_message_new(TRUE);
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM, nullptr, "f@example.jp");
    g_mime_message_set_subject(message, "split", nullptr);
    static int serial = 0;
    // The identifier of the parts is the message's id.
    g_mime_message_set_message_id(message,
                                  ("split" + std::to_string(++serial) + "@example.jp").c_str());
    GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_text(text, "1234#story\n");
    GMimePart* file = g_mime_part_new_with_type("image", "jpeg");
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(picture.data(), picture.size());
    GMimeDataWrapper* wrapper =
        g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(file, wrapper);
    g_mime_part_set_content_encoding(file, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_part_set_filename(file, "pic.jpg");
    GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
    g_mime_multipart_add(mixed, GMIME_OBJECT(text));
    g_mime_multipart_add(mixed, GMIME_OBJECT(file));
    g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));
    size_t count = 0;
    GMimeMessage** parts = g_mime_message_partial_split_message(message, maxSize, &count);
    std::vector<std::string> texts;
    for (size_t i = 0; i < count; ++i) {
        texts.push_back(toText(GMIME_OBJECT(parts[i])));
        g_object_unref(parts[i]);
    }
    g_free(parts);
    for (GObject* o : {G_OBJECT(message), G_OBJECT(text), G_OBJECT(file), G_OBJECT(stream),
                       G_OBJECT(wrapper), G_OBJECT(mixed)})
        g_object_unref(o);
    return texts;
}

struct Extract {
    char workArea[kWorkAreaBytes];
    char subject[kMailBufferBytes], date[kMailBufferBytes], from[kMailBufferBytes],
        header[kMailBufferBytes], fileName[kMailBufferBytes];
    std::unique_ptr<char[]> body;
    std::vector<int> results;

    // Runs First, Next..., Close as the extraction dialog does; the body buffer has the first
    // text's size exactly.
    int run(const std::vector<std::string>& texts, const std::string& folder) {
        body = std::make_unique<char[]>(texts[0].size());
        std::memset(body.get(), 'x', texts[0].size());
        results.push_back(MailLibAttachmentFileFirst(workArea, subject, date, from, header,
                                                     body.get(), folder.c_str(), fileName,
                                                     texts[0].c_str(), 0));
        for (std::size_t i = 1; i < texts.size(); ++i) {
            if (results.back() == -5) break;
            results.push_back(MailLibAttachmentFileNext(workArea, texts[i].c_str(), 0));
        }
        EXPECT_EQ(MailLibAttachmentFileClose(workArea), 0);
        return results.back();
    }
};

TEST(SplitMessage, StatusReportsEachPartWithOneIdentifier) {
    auto parts = splitMessage(pictureBytes(), 6000);
    ASSERT_EQ(parts.size(), 3u);
    std::string firstId;
    for (int n = 1; n <= 3; ++n) {
        char id[kMailBufferBytes];
        EXPECT_EQ(MailLibAttachmentFileStatus(parts[n - 1].c_str(), id, kMailTextSize), n);
        EXPECT_FALSE(std::string(id).empty());
        if (n == 1) firstId = id;
        EXPECT_EQ(std::string(id), firstId);
    }
}

TEST(SplitMessage, RebuiltWhenAllPartsArriveElseMissing) {
    const std::string picture = pictureBytes();
    auto parts = splitMessage(picture, 6000);
    ASSERT_EQ(parts.size(), 3u);
    {
        TempDir out;
        Extract e;
        EXPECT_EQ(e.run({parts[0], parts[1]}, out.path()), -6);
        EXPECT_EQ(e.results, (std::vector<int>{-6, -6}));
        EXPECT_FALSE(korv::fileExists(out.path() + "pic.jpg"));
    }
    {
        TempDir out;
        Extract e;
        EXPECT_EQ(e.run({parts[0], parts[1], parts[2]}, out.path()), 1);
        EXPECT_EQ(std::string(e.fileName), "pic.jpg");
        EXPECT_EQ(readBytes(out.file("pic.jpg")), picture);
        EXPECT_EQ(std::string(e.body.get()), "1234#story\r\n");
        EXPECT_EQ(std::string(e.subject), "split");
    }
    {
        // The folder as typed, without a trailing delimiter; a file already there stays.
        TempDir out;
        writeBytes(out.file("pic.jpg"), "old");
        Extract e;
        std::string folder = out.path().substr(0, out.path().size() - 1);
        EXPECT_EQ(e.run(parts, folder), 1);
        EXPECT_EQ(std::string(e.fileName), "pic(1).jpg");
        EXPECT_EQ(readBytes(out.file("pic.jpg")), "old");
        EXPECT_EQ(readBytes(out.file("pic(1).jpg")), picture);
    }
}

// Parts cut at a chosen line and again inside the picture's base64. Each is joined as saved
// now (the bytes as fetched) and as the browser used to save them (one more CR LF at the end),
// which where the cut falls inside a header ended that header early.
TEST(SplitMessage, PartsEndingInAnExtraLineBreakStillJoin) {
    const std::string picture = pictureBytes();
    const std::string whole =
        korv::test::messageWithAttachment("pic.jpg", picture, "1234#story\r\n");
    const std::vector<std::pair<const char*, std::string>> cutAfter = {
        {"between two header lines of the attachment",
         "Content-Type: application/octet-stream; name=\"pic.jpg\"\r\n"},
        {"between two header lines of the message", "Subject: photo\r\n"},
        {"after a boundary, before its part's header", "1234#story\r\n--=_b1\r\n"},
        {"after the attachment's header has ended", "Content-Transfer-Encoding: base64\r\n\r\n"},
        {"inside the text", "1234#"},
    };
    for (const auto& [what, line] : cutAfter) {
        std::size_t cut = whole.find(line);
        ASSERT_NE(cut, std::string::npos) << what;
        cut += line.size();
        std::size_t second = whole.find("\r\n", std::max(cut, whole.size() * 2 / 3)) + 2;
        auto parts = korv::test::splitMessageAt(whole, std::string("seam-") + what, {cut, second});
        for (std::string_view extra : {"", "\r\n"}) {
            SCOPED_TRACE(std::string(what) + (extra.empty() ? ", as fetched" : ", extra CR LF"));
            std::vector<std::string> saved;
            for (const auto& part : parts) saved.push_back(part + std::string(extra));
            TempDir out;
            Extract e;
            ASSERT_EQ(e.run(saved, out.path()), 1);
            EXPECT_EQ(std::string(e.fileName), "pic.jpg");
            EXPECT_TRUE(readBytes(out.file("pic.jpg")) == picture) << "the picture differs";
            EXPECT_EQ(std::string(e.subject), "photo");
        }
    }
}

TEST(SplitMessage, UnwritableFolderGivesMinusFive) {
    auto parts = splitMessage(pictureBytes(), 6000);
    TempDir dir;
    writeBytes(dir.file("not-a-folder"), "x");
    Extract e;
    EXPECT_EQ(e.run(parts, dir.file("not-a-folder")), -5);
    EXPECT_EQ(e.results, (std::vector<int>{-6, -6, -5}));
}

std::string uuencodedMessage(const std::string& body) {
    return "Subject: uu\r\nFrom: a@example.jp\r\n\r\n" + body +
           "\r\nbegin 644 hello.txt\r\n%:&5L;&\\`\r\n`\r\nend\r\n";
}

TEST(WholeMessage, AttachmentOrNoneAndBodyNeverOverrunsItsBuffer) {
    char id[kMailBufferBytes];
    EXPECT_EQ(MailLibAttachmentFileStatus(uuencodedMessage("text").c_str(), id, kMailTextSize), 0);
    EXPECT_EQ(std::string(id), "");
    EXPECT_EQ(MailLibAttachmentFileStatus("Subject: x\r\n\r\nno attachment\r\n", id, kMailTextSize),
              -1);
    // A header that announces multipart but a saved body without its parts: nothing to extract.
    EXPECT_EQ(
        MailLibAttachmentFileStatus(
            "Content-Type: multipart/mixed; boundary=b\r\n\r\ndecoded text\r\n", id, kMailTextSize),
        -1);

    for (std::size_t length : {8191u, 8192u, 100000u}) {
        SCOPED_TRACE(length);
        std::string text = uuencodedMessage(std::string(length, 'b'));
        TempDir out;
        Extract e;
        EXPECT_EQ(e.run({text}, out.path()), 1);
        EXPECT_EQ(readBytes(out.file("hello.txt")), "hello");
        EXPECT_EQ(std::string(e.body.get()).substr(0, length), std::string(length, 'b'));
    }
}

TEST(WholeMessage, EmptyFolderTextMeansTheCurrentFolder) {
    TempDir dir;
    std::string before = currentFolder();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    Extract e;
    int result = e.run({uuencodedMessage("text")}, "");
    ASSERT_EQ(chdir(before.c_str()), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(readBytes(dir.file("hello.txt")), "hello");
}

TEST(WholeMessage, NullBodyBufferAndPartsOfAnotherSet) {
    auto parts = splitMessage(pictureBytes(), 6000);
    auto other = splitMessage(pictureBytes(), 6000);  // a new identifier
    TempDir out;
    char workArea[kWorkAreaBytes];
    char name[kMailBufferBytes];
    EXPECT_EQ(MailLibAttachmentFileFirst(workArea, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         out.path().c_str(), name, parts[0].c_str(), 0),
              -6);
    EXPECT_EQ(MailLibAttachmentFileNext(workArea, other[1].c_str(), 0), -6);
    EXPECT_EQ(MailLibAttachmentFileNext(workArea, parts[1].c_str(), 0), -6);
    EXPECT_EQ(MailLibAttachmentFileNext(workArea, parts[2].c_str(), 0), 1);
    EXPECT_EQ(MailLibAttachmentFileClose(workArea), 0);
    // A closed work area is no longer usable.
    EXPECT_LT(MailLibAttachmentFileNext(workArea, parts[2].c_str(), 0), 0);
}

TEST(Lifecycle, MimeWorksAgainAfterCleanupAndStartup) {
    auto before = splitMessage(pictureBytes(), 6000);
    MailLibCleanup();
    MailLibStartup();
    TempDir out;
    Extract e;
    EXPECT_EQ(e.run(before, out.path()), 1);
    EXPECT_EQ(readBytes(out.file("pic.jpg")), pictureBytes());
}

}  // namespace
