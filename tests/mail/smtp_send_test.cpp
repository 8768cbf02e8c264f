// Sending through the real aiosmtpd: what arrives, and how refusals are reported.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "mail/buffers.h"
#include "mail/header_text.h"
#include "mail/maillib.h"
#include "mail/mime_message.h"
#include "platform/codepage.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using korv::test::readBytes;
using korv::test::SmtpServer;
using korv::test::TempDir;
using korv::test::writeBytes;

namespace {

int send(const std::string& server, const std::string& to, const std::string& from,
         const std::string& subject, const std::string& body, const char* attachment) {
    return MailLibSmtpSendMail(server.c_str(), to.c_str(), nullptr, nullptr, from.c_str(),
                               subject.c_str(), body.c_str(), nullptr, attachment, 0);
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
}

TEST(SmtpSend, ExtensionCharactersGoAsUtf8AndLoneLineFeedsBecomeCrLf) {
    SmtpServer server;
    std::string text =
        "\x87\x40\xFB\xFC"
        "a\nb\rc";  // ①髙
    ASSERT_EQ(send("smtp://" + server.address(), "Someone <to@example.jp>, second@example.jp",
                   "山田 太郎 <me@example.jp>"_cp, text, text, ""),
              0)
        << lastError();
    auto received = server.messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].mailFrom, "me@example.jp");
    EXPECT_EQ(received[0].rcptTo, (std::vector<std::string>{"to@example.jp", "second@example.jp"}));
    TempDir out;
    DecodedMessage m = decodeMessage(received[0].data, out.path());
    EXPECT_EQ(m.texts.subject, text);
    EXPECT_EQ(m.texts.from, "山田 太郎 <me@example.jp>"_cp);
    EXPECT_EQ(m.body,
              "\x87\x40\xFB\xFC"
              "a\r\nb\r\nc");
    EXPECT_TRUE(m.attachmentNames.empty());
    EXPECT_NE(received[0].data.find("charset=UTF-8"), std::string::npos);
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

}  // namespace
