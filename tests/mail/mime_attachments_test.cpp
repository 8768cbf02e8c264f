// Decoding of received mail: attachments under safe names, every part kept, the names list,
// broken messages.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gallery/text_routines.h"
#include "mail/mime/base64_step.h"
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

std::string multipart(const std::vector<std::string>& parts) {
    std::string raw =
        "From: a@example.jp\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n"
        "preamble\r\n";
    for (const auto& p : parts) raw += "--XYZ\r\n" + p;
    raw += "--XYZ--\r\n";
    return raw;
}

std::string textPart(const std::string& text) {
    return "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + text + "\r\n";
}

std::string filePart(const std::string& dispositionParams, const std::string& bytes,
                     const std::string& type = "image/jpeg") {
    return "Content-Type: " + type +
           "\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; " +
           dispositionParams + "\r\n\r\n" + base64(bytes) + "\r\n";
}

std::string percentEncoded(const std::string& bytes) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string repeatedText(const std::string& unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

// Names as senders and attackers write them: each lands as one readable file inside the folder,
// checked on disk under the name the list reports.
TEST(Attachments, DecodedIntoTheFolderUnderSafeNames) {
    struct Row {
        const char* label;
        std::string params;
        std::string expected;  // UTF-8
    };
    const std::string kanji90 = repeatedText("漢", 90);
    std::vector<Row> rows = {
        {"traversal", "filename=\"../../x.jpg\"", "x.jpg"},
        {"drive and backslashes", "filename=\"C:\\\\a\\\\b.jpg\"", "b.jpg"},
        {"reserved header", "filename=\"header.txt\"", "header(1).txt"},
        {"reserved body, other case", "filename=\"BODY.TXT\"", "BODY(1).TXT"},
        {"control characters", "filename=\"a\tb\x01.jpg\"", "a_b_.jpg"},
        {"dot dot alone", "filename=\"..\"", "attachment.jpg"},
        {"commas and quotes", "filename=\"a,b \\\"c\\\".jpg\"", "a,b \"c\".jpg"},
        {"same name twice", "filename=\"x.jpg\"", "x(1).jpg"},
        {"a variant named outright", "filename=\"x(2).jpg\"", "x(2).jpg"},
        {"same name again, other case", "filename=\"X.JPG\"", "X(3).JPG"},
        {"rfc2231 continuation", "filename*0*=UTF-8''%E5%86%99%E7%9C%9F; filename*1=\"_1.png\"",
         "写真_1.png"},
        {"rfc2047 in quotes",
         "filename=\"=?ISO-2022-JP?B?" + base64("\x1B$B\x2D\x21\x1B(B") + "?=.jpg\"", "①.jpg"},
        {"name with a '\\' trail byte", "filename*=Shift_JIS''%95%5C.jpg", "表.jpg"},
        {"drive colon left", "filename=\"c:evil.jpg\"", "c_evil.jpg"},
        {"parameter without value before", "size; filename=plain.jpg", "plain.jpg"},
        // A lead byte before '/' is no character: the '/' stands on its own once converted.
        {"lead byte before '/'", "filename*=Shift_JIS''sub%81%2Fevil.jpg", "evil.jpg"},
        {"lead byte before '\\' is one character", "filename*=Shift_JIS''a%81%5Cb.jpg", "a―b.jpg"},
        {"lead byte at the end", "filename*=Shift_JIS''abc%81", "abc_"},
        {"C1 control character", "filename*=UTF-8''a%C2%85b.jpg", "a_b.jpg"},
        {"full-width solidus", "filename*=UTF-8''a%EF%BC%8Fb.jpg", "a／b.jpg"},
        {"characters Windows refuses", "filename=\"a<b>c|d*e?.jpg\"", "a_b_c_d_e_.jpg"},
        // 90 kanji are 270 bytes as UTF-8: the stem is cut to fit 255, the extension stays.
        {"90 kanji", "filename*=UTF-8''" + percentEncoded(kanji90) + ".jpg",
         repeatedText("漢", 83) + ".jpg"},
        {"90 kanji again", "filename*=UTF-8''" + percentEncoded(kanji90) + ".jpg",
         repeatedText("漢", 82) + "(1).jpg"},
        {"表 raw in quotes", "filename=\"\x95\x5C.jpg\"", "表(1).jpg"},
        {"ソ raw in quotes, more after", "filename=\"\x83\x5C\"; size=2", "ソ"},
        {"能力 raw in quotes", "filename=\"\x94\x5C\x97\xCD.txt\"", "能力.txt"},
        {"raw UTF-8 in quotes", "filename=\"写真.png\"", "写真.png"},
        {"raw ISO-2022-JP holding a quote byte", "filename=\"\x1B$B\x24\x22\x1B(B.jpg\"", "あ.jpg"},
        {"device name", "filename=con", "con_"},
        {"device name with extension", "filename=\"NUL.jpg\"", "NUL_.jpg"},
        {"device name, two extensions", "filename=\"Com1.tar.gz\"", "Com1_.tar.gz"},
        {"device name lpt9", "filename=lpt9.txt", "lpt9_.txt"},
        {"not a device name", "filename=console.txt", "console.txt"},
        {"device name once shortened", "filename=\"nul" + std::string(300, ' ') + "x.jpg\"",
         "nul_(1).jpg"},
        {"empty name", "filename=\"\"", "attachment(1).jpg"},
        {"only dots", "filename=\"....\"", "attachment(2).jpg"},
    };
    std::vector<std::string> parts = {textPart("hello")};
    for (std::size_t i = 0; i < rows.size(); ++i)
        parts.push_back(filePart(rows[i].params, "bytes-" + std::to_string(i)));
    TempDir dir;
    writeBytes(dir.file("header.txt"), "HEADER");
    DecodedMessage m = decodeMessage(multipart(parts), dir.path());
    EXPECT_FALSE(m.attachmentError) << m.attachmentError->what();
    EXPECT_EQ(m.body, "hello");
    ASSERT_EQ(m.attachmentNames.size(), rows.size());
    std::set<std::string> expectedOnDisk = {"header.txt"};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].label);
        std::string expected = utf8ToCp932(rows[i].expected);
        EXPECT_EQ(m.attachmentNames[i], expected);
        expectedOnDisk.insert(rows[i].expected);
        EXPECT_EQ(readBytes(dir.path() + rows[i].expected), "bytes-" + std::to_string(i));
    }
    // Nothing else was made, nothing outside the folder or below it, every name fits.
    std::set<std::string> onDisk;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
        EXPECT_EQ(entry.path().parent_path(), std::filesystem::path(dir.path()).parent_path());
        std::string name = entry.path().filename().string();
        EXPECT_LE(name.size(), kMaxNativeNameBytes) << name;
        EXPECT_EQ(name.find("\xEF\xBF\xBD"), std::string::npos) << name;
        onDisk.insert(name);
    }
    EXPECT_EQ(onDisk, expectedOnDisk);
    EXPECT_EQ(readBytes(dir.file("header.txt")), "HEADER");
    // The names list parses back to exactly the names written.
    EXPECT_EQ(ReadCommaText(formatNamesList(m.attachmentNames)), m.attachmentNames);
}

TEST(Attachments, NamelessNonTextPartAndUuencodedBlock) {
    std::string gif = "GIF89a\x01\x00\x01\x00\x80\x00\x00";
    std::string uu =
        "begin 644 pic.jpg\r\n"
        "#86)C\r\n"
        "`\r\n"
        "end\r\n";
    std::string raw = multipart({textPart("top\r\n" + uu + "bottom"),
                                 "Content-Type: image/gif\r\nContent-Transfer-Encoding: "
                                 "base64\r\n\r\n" +
                                     base64(gif) + "\r\n",
                                 "Content-Type: text/html\r\n\r\n<p>alt</p>\r\n"});
    TempDir dir;
    DecodedMessage m = decodeMessage(raw, dir.path());
    EXPECT_EQ(m.body, "top\r\n" + uu + "bottom");
    EXPECT_EQ(m.attachmentNames, (std::vector<std::string>{"attachment.gif", "pic.jpg"}));
    EXPECT_EQ(readBytes(dir.file("attachment.gif")), gif);
    EXPECT_EQ(readBytes(dir.file("pic.jpg")), "abc");
    EXPECT_TRUE(hasAttachment(raw));
    EXPECT_FALSE(hasAttachment("Subject: x\r\n\r\nonly text\r\n"));
}

// Layouts as mailers write them: every attachment lands in a file, named or not, and the body
// holds every inline plain text in order.
TEST(Attachments, EveryAttachmentIsWrittenAndTheBodyIsWhole) {
    const std::string jpeg = "\xFF\xD8\xFF\xE0jpeg\xFF\xD9";
    const std::string inlinePicture =
        "Content-Type: image/jpeg; name=pic.jpg\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: inline\r\n\r\n" +
        base64(jpeg) + "\r\n";
    const std::string jisText =
        "Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n"
        "\x1B$B\x24\x22\x1B(B\r\n";
    auto attached = [](const std::string& type, const std::string& text) {
        return "Content-Type: " + type + "\r\nContent-Disposition: attachment\r\n\r\n" + text +
               "\r\n";
    };
    struct Row {
        const char* label;
        std::vector<std::string> parts;
        std::string body;                                        // UTF-8
        std::vector<std::pair<std::string, std::string>> files;  // name, bytes
    };
    const std::vector<Row> rows = {
        {"nameless CSV",
         {textPart("see the list"), attached("text/csv", "a,b\r\n1,2")},
         "see the list",
         {{"attachment.csv", "a,b\r\n1,2"}}},
        {"nameless text marked as attachment",
         {textPart("body"), attached("text/plain; charset=us-ascii", "notes")},
         "body",
         {{"attachment.txt", "notes"}}},
        {"nameless attachments of unknown types",
         {textPart("b"), attached("text/x-unheard-of", "t"), attached("application/x-odd", "o")},
         "b",
         {{"attachment.txt", "t"}, {"attachment.bin", "o"}}},
        {"text, inline picture, text",
         {textPart("id123#first half"), inlinePicture, textPart("second half")},
         "id123#first half\r\nsecond half",
         {{"pic.jpg", jpeg}}},
        {"texts of other charsets joined as CP932",
         {textPart("one"), inlinePicture, jisText},
         "one\r\nあ",
         {{"pic.jpg", jpeg}}},
        {"one of each alternative, then a later text",
         {"Content-Type: multipart/alternative; boundary=ALT\r\n\r\n--ALT\r\n" + textPart("plain") +
              "--ALT\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
              "--ALT--\r\n",
          inlinePicture, textPart("footer")},
         "plain\r\nfooter",
         {{"pic.jpg", jpeg}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        std::string raw = multipart(row.parts);
        DecodedMessage m = decodeMessage(raw, dir.path());
        EXPECT_FALSE(m.attachmentError) << m.attachmentError->what();
        EXPECT_EQ(m.body, utf8ToCp932(row.body));
        std::vector<std::string> names;
        for (const auto& [name, bytes] : row.files) {
            names.push_back(name);
            EXPECT_EQ(readBytes(dir.file(name)), bytes) << name;
        }
        EXPECT_EQ(m.attachmentNames, names);
        EXPECT_TRUE(hasAttachment(raw));
    }
}

std::string wrapped(const std::string& text, std::size_t width) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += width) out += text.substr(i, width) + "\r\n";
    return out;
}

TEST(Attachments, EveryTransferEncodingDecodesToTheExactBytes) {
    std::string big;  // larger than any read chunk, every byte value, no repeating pattern
    unsigned v = 12345;
    for (int i = 0; i < 200000; ++i) {
        v = v * 1103515245u + 12345u;
        big += static_cast<char>(v >> 16);
    }
    std::string qp = "caf=C3=A9 =3D long soft=\r\n break=\r\n\r\nnext line\r\n";
    std::string uu =
        "begin 644 u.bin\r\n"
        "#86)C\r\n"
        "`\r\n"
        "end\r\n";
    auto part = [](const std::string& name, const std::string& encoding, const std::string& body) {
        return "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: " + encoding +
               "\r\nContent-Disposition: attachment; filename=" + name + "\r\n\r\n" + body;
    };
    std::string raw = multipart(
        {textPart("t"), part("big.bin", "base64", wrapped(base64(big), 76)),
         part("q.txt", "quoted-printable", qp), part("u.bin", "x-uuencode", uu),
         part("e.bin", "8bit", "\xFF\xFE raw\r\nline\r\n"), part("e.bin", "7bit", "again\r\n")});
    // Written as they are decoded, or held in memory and written by another step: the same files.
    for (bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "written while decoded");
        TempDir dir;
        DecodedMessage m = decodeMessage(raw, dir.path(), held ? raw.size() : 0);
        EXPECT_EQ(m.held.empty(), !held);
        writeHeldAttachments(m, dir.path());
        EXPECT_FALSE(m.attachmentError) << m.attachmentError->what();
        EXPECT_EQ(m.attachmentNames,
                  (std::vector<std::string>{"big.bin", "q.txt", "u.bin", "e.bin", "e(1).bin"}));
        EXPECT_TRUE(readBytes(dir.file("big.bin")) == big);
        EXPECT_EQ(readBytes(dir.file("q.txt")), "caf\xC3\xA9 = long soft break\r\nnext line");
        EXPECT_EQ(readBytes(dir.file("u.bin")), "abc");
        // The line break before the next boundary belongs to the boundary.
        EXPECT_EQ(readBytes(dir.file("e.bin")), "\xFF\xFE raw\r\nline");
        EXPECT_EQ(readBytes(dir.file("e(1).bin")), "again");
    }
    // Held attachments that cannot be written: the error, and none written after it.
    DecodedMessage m = decodeMessage(raw, "", raw.size());
    writeHeldAttachments(m, "/nonexistent-korvanto-folder/");
    ASSERT_TRUE(m.attachmentError);
    EXPECT_NE(std::string(m.attachmentError->what()).find("big.bin"), std::string::npos);
    EXPECT_TRUE(m.attachmentNames.empty());
}

// GMime's uuencoder, as the lines of a "begin ... end" block with CR LF line ends.
std::string uuBlock(const std::string& name, const std::string& bytes) {
    ensureMimeInitialised();
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, GMIME_CONTENT_ENCODING_UUENCODE);
    std::string lines(g_mime_encoding_outlen(&state, bytes.size()) + 64, '\0');
    lines.resize(g_mime_encoding_flush(&state, bytes.data(), bytes.size(), lines.data()));
    return "begin 644 " + name + "\r\n" + toCrLf(lines) + "end\r\n";
}

// Attachments larger than one decoding step, through each of the ways they are written.
TEST(Attachments, LargeAttachmentsOfEveryKindArriveWhole) {
    std::string big;
    unsigned v = 777;
    for (int i = 0; i < 300000; ++i) {
        v = v * 1103515245u + 12345u;
        big += static_cast<char>(v >> 16);
    }
    const std::string inner =
        "Subject: forwarded\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
        "boundary=IN\r\n\r\n--IN\r\nContent-Type: text/plain\r\n\r\ninner text\r\n--IN\r\n"
        "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        wrapped(base64(big), 76) + "--IN--\r\n";
    struct Row {
        const char* label;
        std::string part;
        std::string name;
        std::string bytes;
    };
    const std::vector<Row> rows = {
        {"uuencoded part",
         "Content-Type: application/octet-stream; name=u.bin\r\n"
         "Content-Transfer-Encoding: x-uuencode\r\n\r\n" +
             uuBlock("u.bin", big),
         "u.bin", big},
        {"uuencoded block in the text", textPart("see below\r\n" + uuBlock("block.bin", big)),
         "block.bin", big},
        // As it arrived, with its CR LF line ends.
        {"forwarded message", "Content-Type: message/rfc822\r\n\r\n" + inner, "attachment.eml",
         inner},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        std::vector<std::string> parts = {row.part};
        if (row.part.rfind("Content-Type: text/plain", 0) != 0)
            parts.insert(parts.begin(), textPart("t"));
        DecodedMessage m = decodeMessage(multipart(parts), dir.path());
        EXPECT_FALSE(m.attachmentError) << m.attachmentError->what();
        EXPECT_EQ(m.attachmentNames, std::vector<std::string>{row.name});
        std::string written = readBytes(dir.file(row.name));
        EXPECT_EQ(written.size(), row.bytes.size());
        EXPECT_TRUE(written == row.bytes);
    }
}

TEST(Attachments, UnwritableFolderIsReportedWithTheFileName) {
    TempDir dir;
    writeBytes(dir.file("plain"), "x");
    DecodedMessage m = decodeMessage(multipart({textPart("t"), filePart("filename=a.jpg", "A")}),
                                     dir.file("plain"));
    ASSERT_TRUE(m.attachmentError);
    EXPECT_EQ(m.attachmentError->kind(), MailError::Kind::AttachmentFailed);
    EXPECT_NE(std::string(m.attachmentError->what()).find("a.jpg"), std::string::npos)
        << m.attachmentError->what();
    EXPECT_TRUE(m.attachmentNames.empty());
    EXPECT_EQ(m.body, "t");
}

TEST(Attachments, NoFolderWritesNothing) {
    DecodedMessage m =
        decodeMessage(multipart({textPart("t"), filePart("filename=a.jpg", "A")}), "");
    EXPECT_FALSE(m.attachmentError);
    EXPECT_TRUE(m.attachmentNames.empty());
    EXPECT_FALSE(korv::fileExists("a.jpg"));
    EXPECT_EQ(m.body, "t");
}

TEST(Attachments, PartialMessageKeepsItsRawBody) {
    std::string raw =
        "Subject: big\r\nMIME-Version: 1.0\r\n"
        "Content-Type: message/partial; id=\"abc@x\"; number=1; total=2\r\n\r\n"
        "Content-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n";
    TempDir dir;
    DecodedMessage m = decodeMessage(raw, dir.path());
    EXPECT_EQ(m.body,
              "Content-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n");
    EXPECT_TRUE(m.attachmentNames.empty());
}

TEST(NamesList, QuotesOnlyWhatTheReaderWouldSplit) {
    std::vector<std::string> names = {"a.jpg", "b c.png", "d,e.txt", "\"q\".gif", "写真.jpg"_cp};
    std::string text = formatNamesList(names);
    EXPECT_EQ(text, "a.jpg,\"b c.png\",\"d,e.txt\",\"\"\"q\"\".gif\"," + "写真.jpg"_cp);
    EXPECT_EQ(ReadCommaText(text), names);
}

}  // namespace

namespace {

TEST(Malformed, BrokenMessagesGiveTextsNotCrashes) {
    struct Row {
        const char* label;
        std::string raw;
        std::string subject;
    };
    const Row rows[] = {
        {"empty", "", ""},
        {"header only, no line end", "Subject: only", "only"},
        {"unterminated word", "Subject: =?UTF-8?B?5YaZ\r\n\r\nx", "=?UTF-8?B?5YaZ"},
        {"unknown charset", "Subject: =?x-nothing?B?YWJj?=\r\n\r\nx", "abc"},
        {"bad base64", "Subject: =?UTF-8?B?!!!?=\r\n\r\nx", ""},
        {"missing boundary",
         "Subject: m\r\nContent-Type: multipart/mixed\r\n\r\n--a\r\nno parts\r\n", "m"},
        {"truncated escape", "Subject: \x1B$B\x25\r\n\r\nx", "?"},
        {"binary", std::string("Subject: \xFF\xFE\x00\x01", 13) + "\r\n\r\n\xFF\x00", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        DecodedMessage m = decodeMessage(row.raw, dir.path());
        if (std::string(row.label) != "binary") {
            EXPECT_EQ(m.texts.subject, row.subject);
        }
        EXPECT_FALSE(m.attachmentError);
    }
}

// The fast base64 step gives GMime's bytes and state for every shape of line, padding and stray
// byte, however the input is cut into chunks.
TEST(Base64Step, SameBytesAsGMimeForAnyShapeAndChunking) {
    ensureMimeInitialised();
    struct Row {
        const char* label;
        std::string pieces;  // drawn from at random: a for alphabet, others as they are
    };
    const Row rows[] = {
        {"lines of groups", "aaaa\r\n"},
        {"lines that cut groups", "aaa\r\n"},
        {"bare line feeds", "aaaa\n"},
        {"padding inside", "aaaa=\r\n"},
        {"stray bytes", "aaaa!\t \r\n"},
        {"lone carriage returns", "aaaa\r"},
        // L: a line of 32 to 76 alphabet characters, as mailers write them
        {"long lines", "LLLL\n"},
        {"long lines, stray bytes", "LLLL!\xC3"},
        {"long lines cut by padding", "LLL=a"},
    };
    std::mt19937 rng(25);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        for (int round = 0; round < 200; ++round) {
            std::string input;
            const std::size_t length = rng() % 1500;
            while (input.size() < length) {
                char c = row.pieces[rng() % row.pieces.size()];
                if (c == 'L') {
                    for (std::size_t n = 4 * (8 + rng() % 12); n > 0; --n)
                        input += alphabet[rng() % 64];
                    input += "\r\n";
                } else {
                    input += c == 'a' ? alphabet[rng() % 64] : c;
                }
            }
            auto decode = [&](bool fast, std::size_t chunk) {
                GMimeEncoding state;
                g_mime_encoding_init_decode(&state, GMIME_CONTENT_ENCODING_BASE64);
                std::string out;
                for (std::size_t at = 0; at < input.size(); at += chunk) {
                    const std::size_t n = std::min(chunk, input.size() - at);
                    std::string piece(g_mime_encoding_outlen(&state, n), '\0');
                    piece.resize(
                        fast ? decodeStep(state, input.data() + at, n, piece.data())
                             : g_mime_encoding_step(&state, input.data() + at, n, piece.data()));
                    out += piece;
                }
                return out + "|" + std::to_string(state.state) + "|" + std::to_string(state.save);
            };
            const std::size_t chunk = 1 + rng() % 700;
            ASSERT_EQ(decode(true, chunk), decode(false, input.size() + 1)) << input;
        }
    }
}

}  // namespace
