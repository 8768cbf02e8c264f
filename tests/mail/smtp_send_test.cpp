// Sending through the real aiosmtpd: what arrives, and how refusals are reported.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/mime/header_text.h"
#include "mail/mime/mime_message.h"
#include "platform/codepage.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

int send(const std::string& server, const std::string& to, const std::string& from,
         const std::string& subject, const std::string& body, const char* attachment) {
    return MailLibSmtpSendMail(server.c_str(), to.c_str(), nullptr, nullptr, from.c_str(),
                               subject.c_str(), body.c_str(), nullptr, attachment, 0);
}

// Every argument of MailLibSmtpSendMail that a caller fills in.
struct Outgoing {
    std::string to = "to@example.jp";
    std::string from = "me@example.jp";
    std::string subject = "s";
    std::string body = "b\r\n";
    std::string cc{}, bcc{}, extraHeaders{}, attachment{};
};

int send(const std::string& server, const Outgoing& m) {
    auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    return MailLibSmtpSendMail(server.c_str(), m.to.c_str(), orNull(m.cc), orNull(m.bcc),
                               m.from.c_str(), m.subject.c_str(), m.body.c_str(),
                               orNull(m.extraHeaders), orNull(m.attachment), 0);
}

// The lines of the header block, folded lines as they are.
std::vector<std::string> headerLines(const std::string& data) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0;;) {
        std::size_t eol = data.find("\r\n", pos);
        if (eol == std::string::npos || eol == pos) break;
        lines.push_back(data.substr(pos, eol - pos));
        pos = eol + 2;
    }
    return lines;
}

std::size_t longestLine(const std::string& data) {
    std::size_t longest = 0;
    for (std::size_t pos = 0; pos < data.size();) {
        std::size_t eol = data.find("\r\n", pos);
        if (eol == std::string::npos) eol = data.size();
        longest = std::max(longest, eol - pos);
        pos = eol + 2;
    }
    return longest;
}

// The lines of one field: its first line and the folded ones after it.
std::vector<std::string> fieldLines(const std::string& data, const std::string& name) {
    std::vector<std::string> out;
    bool inField = false;
    for (const auto& line : headerLines(data)) {
        if (line[0] != ' ' && line[0] != '\t') inField = line.rfind(name + ":", 0) == 0;
        if (inField) out.push_back(line);
    }
    return out;
}

bool hasBareLineFeed(const std::string& data) {
    for (std::size_t i = 0; i < data.size(); ++i)
        if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) return true;
    return false;
}

std::string binaryBytes() {
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes += static_cast<char>((i * 7919) & 0xFF);
    return bytes;
}

TEST(SmtpSend, JapaneseMailWithAttachmentArrivesIntact) {
    SmtpServer server;
    TempDir dir;
    std::string attachment = dir.file("写真 1.jpg");
    writeBytes(attachment, binaryBytes());
    std::string subject = "テスト送信 ～写真～"_cp;
    std::string body = "こんにちは\r\n.\r\n..二行目\r\n"_cp;
    ASSERT_EQ(send(server.address(), "to@example.jp", "from@example.jp", subject, body,
                   utf8ToCp932(attachment).c_str()),
              0)
        << lastError();
    auto received = server.messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].mailFrom, "from@example.jp");
    EXPECT_EQ(received[0].rcptTo, std::vector<std::string>{"to@example.jp"});
    const std::string& data = received[0].data;
    EXPECT_FALSE(hasBareLineFeed(data));
    std::string header(headerBlockOf(data));
    for (const char* field : {"From:", "To:", "Subject:", "Date:", "Message-Id:", "MIME-Version:"})
        EXPECT_TRUE(findHeaderField(header, field).has_value()) << field;
    EXPECT_EQ(findHeaderField(header, "From").value(), "from@example.jp");
    EXPECT_EQ(findHeaderField(header, "To").value(), "to@example.jp");
    // Only ASCII goes over the wire for the header.
    for (unsigned char c : header) EXPECT_LT(c, 0x80);

    TempDir out;
    DecodedMessage m = decodeMessage(data, out.path());
    EXPECT_EQ(m.texts.subject, subject);
    EXPECT_EQ(m.body, body);
    ASSERT_EQ(m.attachmentNames, std::vector<std::string>{"写真 1.jpg"_cp});
    EXPECT_EQ(readBytes(out.file("写真 1.jpg")), binaryBytes());
    EXPECT_NE(data.find("charset=ISO-2022-JP"), std::string::npos);

    // Another decoder reads the same addresses and attachment.
    EXPECT_EQ(received[0].parsedAll("to"), std::vector<std::string>{"to@example.jp"});
    EXPECT_EQ(received[0].parsedOne("from"), "from@example.jp");
    EXPECT_EQ(received[0].parsedOne("attachment-name"), "写真 1.jpg");
    EXPECT_EQ(received[0].parsedOne("attachment-length"), std::to_string(binaryBytes().size()));
    EXPECT_EQ(received[0].parsedAll("defect"), std::vector<std::string>{});
    // The name twice: RFC 2231 for today's readers, RFC 2047 for older Japanese mailers.
    EXPECT_NE(data.find("filename*"), std::string::npos);
    EXPECT_NE(data.find("name=\"=?ISO-2022-JP?B?"), std::string::npos);
    EXPECT_EQ(received[0].parsedOne("attachment-filename"), "写真 1.jpg");
    EXPECT_EQ(received[0].parsedOne("attachment-type-name"), "写真 1.jpg");
    // Servers that want a fully qualified name refuse a short host name.
    const std::string& ehlo = received[0].ehlo;
    EXPECT_TRUE(ehlo == "[127.0.0.1]" ||
                (ehlo.find('.') != std::string::npos && !ehlo.starts_with("localhost")))
        << ehlo;
}

TEST(SmtpSend, ExtensionCharactersGoAsUtf8AndLoneLineFeedsBecomeCrLf) {
    SmtpServer server;
    std::string text =
        "\x87\x40\xFB\xFC"
        "a\nb\rc";  // ①髙
    // A subject holds no line break (refused elsewhere); the body keeps them.
    std::string subject = "\x87\x40\xFB\xFC abc";
    ASSERT_EQ(send("smtp://" + server.address(), "Someone <to@example.jp>, second@example.jp",
                   "山田 太郎 <me@example.jp>"_cp, subject, text, ""),
              0)
        << lastError();
    auto received = server.messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].mailFrom, "me@example.jp");
    EXPECT_EQ(received[0].rcptTo, (std::vector<std::string>{"to@example.jp", "second@example.jp"}));
    TempDir out;
    DecodedMessage m = decodeMessage(received[0].data, out.path());
    EXPECT_EQ(m.texts.subject, subject);
    EXPECT_EQ(m.texts.from, "山田 太郎 <me@example.jp>"_cp);
    EXPECT_EQ(m.body,
              "\x87\x40\xFB\xFC"
              "a\r\nb\r\nc");
    EXPECT_TRUE(m.attachmentNames.empty());
    EXPECT_NE(received[0].data.find("charset=UTF-8"), std::string::npos);
    EXPECT_EQ(received[0].parsedOne("subject"), cp932ToUtf8(subject));
    EXPECT_EQ(received[0].parsedOne("body"), cp932ToUtf8("\x87\x40\xFB\xFC") + "a\r\nb\r\nc");
    EXPECT_EQ(received[0].parsedOne("from-name"), "山田 太郎");
    EXPECT_EQ(received[0].parsedAll("to"),
              (std::vector<std::string>{"to@example.jp", "second@example.jp"}));
}

TEST(SmtpSend, LongLinesAreNotSentAs7bit) {
    SmtpServer server;
    std::string body = std::string(3000, 'a') + "\r\n" + "長い行"_cp + "\r\n";
    std::string subject;
    for (int i = 0; i < 40; ++i) subject += "長い件名 "_cp;
    ASSERT_EQ(send(server.address(), "to@example.jp", "me@example.jp", subject, body, nullptr), 0)
        << lastError();
    auto received = server.messages();
    ASSERT_EQ(received.size(), 1u);
    for (std::size_t pos = 0, eol; pos < received[0].data.size(); pos = eol + 2) {
        eol = received[0].data.find("\r\n", pos);
        if (eol == std::string::npos) break;
        EXPECT_LE(eol - pos, 998u);
    }
    TempDir out;
    DecodedMessage m = decodeMessage(received[0].data, out.path());
    EXPECT_EQ(m.body, body);
    EXPECT_EQ(m.texts.subject, subject);
}

TEST(SmtpSend, RefusedRecipientFailsWithTheServerReply) {
    SmtpServer server;
    EXPECT_LT(send(server.address(), "reject-me@example.jp", "me@example.jp", "s", "b", nullptr),
              0);
    std::string error = lastError();
    EXPECT_NE(error.find(server.address()), std::string::npos) << error;
    EXPECT_NE(error.find("550"), std::string::npos) << error;
    EXPECT_NE(error.find("Recipient address rejected"), std::string::npos) << error;
    char buffer[kMailBufferBytes];
    MailLibGetMessage(0, buffer, kMailTextSize);
    EXPECT_EQ(std::string(buffer), error);
    EXPECT_TRUE(server.messages().empty());
}

TEST(SmtpSend, MissingOrUnreadableAttachmentFailsAndSendsNothing) {
    SmtpServer server;
    TempDir dir;
    for (const std::string& path : {dir.file("missing.jpg"), dir.path()}) {
        SCOPED_TRACE(path);
        EXPECT_LT(send(server.address(), "to@example.jp", "me@example.jp", "s", "b", path.c_str()),
                  0);
        EXPECT_NE(lastError().find(path), std::string::npos) << lastError();
    }
    EXPECT_TRUE(server.messages().empty());
}

TEST(SmtpSend, UnreachableServerAndBadAddressesFail) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);  // nobody listens there now
    std::string closed = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    EXPECT_LT(send(closed, "to@example.jp", "me@example.jp", "s", "b", nullptr), 0);
    EXPECT_NE(lastError().find("接続できません"_cp), std::string::npos) << lastError();

    SmtpServer server;
    EXPECT_LT(send(server.address(), "", "me@example.jp", "s", "b", nullptr), 0);
    EXPECT_NE(lastError().find("宛先"_cp), std::string::npos) << lastError();
    EXPECT_LT(send("", "to@example.jp", "me@example.jp", "s", "b", nullptr), 0);
    EXPECT_TRUE(server.messages().empty());
}

// What a crafted address, header value or server name tries to smuggle onto the wire. Each is
// refused before the server is contacted, with an error that names the field and the value.
struct Refusal {
    const char* what;
    Outgoing mail;
    std::string server;  // "" = the sink
    std::vector<std::string> errorHolds;
};

TEST(SmtpSend, InjectedAddressesAndHeaderValuesSendNothingToAnyone) {
    SmtpServer server;
    TempDir dir;
    const std::string crafted = dir.file("a\nBcc: third@example.net.jpg");
    writeBytes(crafted, "x");
    const std::string third = "RCPT TO:<third@example.net>";
    const std::vector<Refusal> cases = {
        {"CR LF in To",
         {.to = "victim@example.jp\r\n" + third},
         "",
         {"宛先"_cp, "victim@example.jp\\r\\n" + third}},
        {"lone LF in To", {.to = "victim@example.jp\n" + third}, "", {"宛先"_cp, "\\n" + third}},
        {"quoted CR LF in a name",
         {.to = "\"x\r\n" + third + "\" <victim@example.jp>"},
         "",
         {"宛先"_cp, "x\\r\\n"}},
        {"CR LF from an encoded name",
         {.to = "=?UTF-8?Q?x=0D=0Ay?= <victim@example.jp>"},
         "",
         {"宛先"_cp, "x\\r\\ny"}},
        {"an encoded word hiding a second command",
         {.to = "=?UTF-8?Q?x=0D=0ARCPT_TO:<third@example.net>?= <victim@example.jp>"},
         "",
         {"宛先"_cp, "=?UTF-8?Q?x=0D=0ARCPT_TO:<third@example.net>?= <victim@example.jp>"}},
        {"To that does not parse",
         {.to = "victim@example.jp <third@example.net>"},
         "",
         {"宛先"_cp, "victim@example.jp <third@example.net>"}},
        {"an entry that is no address",
         {.to = "victim@example.jp, third"},
         "",
         {"宛先"_cp, "\"third\""}},
        {"an empty To", {.to = ""}, "", {"宛先"_cp}},
        {"a group without members", {.to = "undisclosed-recipients:;"}, "", {"宛先"_cp}},
        {"CR LF in Cc", {.cc = "c@example.jp\r\n" + third}, "", {"Cc", "c@example.jp\\r\\n"}},
        {"CR LF in Bcc", {.bcc = "b@example.jp\r\n" + third}, "", {"Bcc", "b@example.jp\\r\\n"}},
        {"CR LF in From",
         {.from = "me@example.jp\r\n" + third},
         "",
         {"送信者"_cp, "me@example.jp\\r\\n"}},
        {"two senders", {.from = "me@example.jp, other@example.jp"}, "", {"送信者"_cp}},
        {"a non-ASCII mailbox",
         {.to = "宛先@example.jp"_cp},
         "",
         {"宛先"_cp, "宛先@example.jp"_cp}},
        {"CR LF in the subject",
         {.subject = "hello\r\nBcc: third@example.net"},
         "",
         {"件名"_cp, "hello\\r\\nBcc"}},
        {"lone CR in the subject", {.subject = "hello\rBcc: third@example.net"}, "", {"件名"_cp}},
        {"CR in an extra header",
         {.extraHeaders = "In-Reply-To: <a@example.jp>\rBcc: third@example.net"},
         "",
         {"In-Reply-To", "\\rBcc"}},
        {"an extra header of our own",
         {.extraHeaders = "Bcc: third@example.net"},
         "",
         {"Bcc: third@example.net"}},
        {"a message id too long for any line",
         {.extraHeaders = "References: <" + std::string(1000, 'r') + "@example.jp>"},
         "",
         {"References"}},
        {"8-bit extra header",
         {.extraHeaders = "References: <件名@example.jp>"_cp},
         "",
         {"References"}},
        {"LF in the attachment's name",
         {.attachment = crafted},
         "",
         {"添付ファイル名"_cp, "a\\nBcc: third@example.net.jpg"}},
        {"CR LF in the server name", {}, "\r\n" + third, {"SMTP", "\\r\\n" + third}},
        {"a blank in the server name", {}, "127.0.0.1 25", {"SMTP", "127.0.0.1 25"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string target = c.server.empty() ? server.address() : server.address() + c.server;
        EXPECT_LT(send(target, c.mail), 0);
        for (const auto& piece : c.errorHolds)
            EXPECT_NE(lastError().find(piece), std::string::npos) << lastError();
    }
    EXPECT_TRUE(server.messages().empty());

    // The sink took nothing because nothing was sent, not because it was deaf.
    ASSERT_EQ(send(server.address(), Outgoing{}), 0) << lastError();
    auto received = server.messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].rcptTo, std::vector<std::string>{"to@example.jp"});
}

TEST(SmtpSend, CcAndBccReachTheEnvelopeAndOnlyCcTheHeader) {
    SmtpServer server;
    Outgoing m{.to = "To One <to@example.jp>, to2@example.jp",
               .cc = "cc@example.jp",
               .bcc = "hidden@example.jp, to@example.jp"};
    ASSERT_EQ(send(server.address(), m), 0) << lastError();
    auto received = server.messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].rcptTo, (std::vector<std::string>{"to@example.jp", "to2@example.jp",
                                                            "cc@example.jp", "hidden@example.jp"}));
    EXPECT_EQ(received[0].parsedAll("to"),
              (std::vector<std::string>{"to@example.jp", "to2@example.jp"}));
    EXPECT_EQ(received[0].parsedAll("cc"), std::vector<std::string>{"cc@example.jp"});
    EXPECT_EQ(received[0].data.find("hidden@"), std::string::npos) << received[0].data;
}

// Long subjects (and a reply's long References) arrive folded: no header line over 78
// characters, none at all over 998, and both our decoder and Python's read them as written.
TEST(SmtpSend, LongSubjectsAreFoldedAndReadTheSameElsewhere) {
    std::string words, japanese, extension;
    while (words.size() < 1200) words += "word" + std::to_string(words.size()) + " ";
    words.pop_back();
    for (int i = 0; i < 30; ++i) japanese += "夕焼けの海辺で撮った写真 "_cp;
    for (int i = 0; i < 30; ++i) extension += "①髙の件名 "_cp;
    std::string references = "<ref@example.jp>";
    for (int i = 0; i < 40; ++i) references += " <ref" + std::to_string(i) + "@example.jp>";
    const std::vector<std::pair<const char*, std::string>> subjects = {
        {"1200 bytes of ASCII words", words},
        {"one 1200-byte word", std::string(1200, 'x')},
        {"a long Japanese subject", japanese},
        {"Japanese beyond ISO-2022-JP", extension},
        {"mixed, with a text that looks encoded", "日本語 と English =?UTF-8?B?eA==?= 件名"_cp},
        {"blanks at the ends and in a row", "  many" + std::string(20, ' ') + "blanks  "},
    };
    SmtpServer server;
    for (const auto& [what, subject] : subjects) {
        SCOPED_TRACE(what);
        Outgoing m{.subject = subject,
                   .extraHeaders = "In-Reply-To: <ref@example.jp>\r\nReferences: " + references};
        ASSERT_EQ(send(server.address(), m), 0) << lastError();
        const auto received = server.messages().back();
        for (const auto& line : headerLines(received.data)) EXPECT_LE(line.size(), 78u) << line;
        EXPECT_LE(longestLine(received.data), 998u);
        if (subject.size() > 200) {
            EXPECT_GT(fieldLines(received.data, "Subject").size(), 1u);
        }
        TempDir out;
        EXPECT_EQ(decodeMessage(received.data, out.path()).texts.subject, subject);
        EXPECT_EQ(received.parsedOne("subject"), cp932ToUtf8(subject));
        EXPECT_EQ(received.parsedOne("references"), references);
        EXPECT_GT(fieldLines(received.data, "References").size(), 1u);
        EXPECT_EQ(received.parsedAll("defect"), std::vector<std::string>{});
        EXPECT_EQ(received.parsedOne("error"), "");
    }
}

}  // namespace
