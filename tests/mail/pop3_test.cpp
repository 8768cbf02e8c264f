// The POP3 functions against a real Dovecot.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "mail/maillib.h"
#include "mail/pop3/pop3_connection.h"
#include "mail/pop3/pop3_mailbox.h"
#include "platform/codepage.h"
#include "support/dovecot_server.h"
#include "support/pop3_calls.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

const std::string kPlain =
    "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
    "To: korv@example.jp\r\n"
    "Subject: =?UTF-8?B?5aSV54S844GR?=@acme\r\n"
    "Date: Mon, 7 Dec 2026 09:00:00 +0900\r\n"
    "Message-ID: <1@example.jp>\r\n"
    "\r\n"
    "line one\r\n.leading dot\r\n";

// A few megabytes of plain text, with the lines a POP3 server must dot-stuff.
std::string bigBody() {
    std::string body;
    for (int i = 0; i < 40000; ++i) {
        if (i % 1000 == 1) body += ".\r\n";
        if (i % 1000 == 2) body += "..two dots\r\n";
        body += "line " + std::to_string(i) + std::string(60, 'a' + i % 26) + "\r\n";
    }
    return body;
}

struct Pop3Dovecot : ::testing::Test {
    static inline std::unique_ptr<DovecotServer> server;
    static void SetUpTestSuite() {
        server = std::make_unique<DovecotServer>();
        setenv("KORVANTO_CA_FILE", server->caFile().c_str(), 1);
    }
    static void TearDownTestSuite() {
        unsetenv("KORVANTO_CA_FILE");
        server.reset();
    }
    void SetUp() override { server->clearMessages(); }
    void TearDown() override { MailLibPop3Close(handle); }

    std::string tlsAddress() const {
        return "pop3s://127.0.0.1:" + std::to_string(server->pop3sPort());
    }
    // Connects and logs in; the count, or -1 after a failed expectation.
    int login(const std::string& address, int apop = 0) {
        MailLibPop3Close(handle);
        handle = MailLibPop3Connect(address.c_str());
        EXPECT_NE(handle, -1) << errorText();
        if (handle == -1) return -1;
        int count = MailLibPop3Authenticate(handle, server->user().c_str(),
                                            server->password().c_str(), apop);
        EXPECT_GE(count, 0) << errorText();
        return count;
    }
    // The program's mailbox on the plain port, logged in.
    std::unique_ptr<Pop3Mailbox> mailbox() {
        return Pop3Mailbox::open(
            {server->address(),
             {Security::None, {}},
             {Credentials::Method::Password, server->user(), server->password()}});
    }
    int handle = -1;
};

}  // namespace

TEST(Pop3Address, AcceptsTheFourFormsAndRefusesOthers) {
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        int port;
        bool tls;
    } rows[] = {
        {"mail.example.jp", true, "mail.example.jp", 110, false},
        {"mail.example.jp:1110", true, "mail.example.jp", 1110, false},
        {"pop3://127.0.0.1:2110", true, "127.0.0.1", 2110, false},
        {"pop3://127.0.0.1", true, "127.0.0.1", 110, false},
        {"pop3s://127.0.0.1", true, "127.0.0.1", 995, true},
        {"POP3S://h:9950/", true, "h", 9950, true},
        {"[::1]:1110", true, "::1", 1110, false},
        {"pop3s://[::1]", true, "::1", 995, true},
        {"", false, "", 0, false},
        {"imap://h", false, "", 0, false},
        {"h:99999", false, "", 0, false},
        {"h:0", false, "", 0, false},
        {"h:", false, "", 0, false},
        {"h:1x", false, "", 0, false},
        {"[::1", false, "", 0, false},
        {"user@h", false, "", 0, false},
        {"pop3://", false, "", 0, false},
    };
    for (const auto& r : rows) {
        Pop3Address a;
        EXPECT_EQ(parsePop3Address(r.text, a), r.ok) << r.text;
        if (!r.ok) continue;
        EXPECT_EQ(a.host, r.host) << r.text;
        EXPECT_EQ(a.port, r.port) << r.text;
        EXPECT_EQ(a.tls, r.tls) << r.text;
    }
}

TEST_F(Pop3Dovecot, ConnectsInEveryFormIncludingTls) {
    server->addMessage(kPlain);
    for (std::string address : {server->address(), "pop3://" + server->address(), tlsAddress()})
        EXPECT_EQ(login(address), 1) << address;
}

TEST_F(Pop3Dovecot, TlsRefusesAnUntrustedCertificateAndAPlainPort) {
    unsetenv("KORVANTO_CA_FILE");
    EXPECT_EQ(MailLibPop3Connect(tlsAddress().c_str()), -1);
    setenv("KORVANTO_CA_FILE", server->caFile().c_str(), 1);
    std::string error = errorText();
    EXPECT_NE(error.find("証明書"_cp), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(server->pop3sPort())), std::string::npos) << error;

    // The plain port answers a TLS hello with a POP3 greeting.
    EXPECT_EQ(MailLibPop3Connect(("pop3s://" + server->address()).c_str()), -1);
    EXPECT_NE(errorText().find("TLS"), std::string::npos) << errorText();
}

TEST_F(Pop3Dovecot, WrongPasswordGivesTheServersTextWithoutThePassword) {
    for (int apop : {0, -1}) {
        handle = MailLibPop3Connect(server->address().c_str());
        ASSERT_NE(handle, -1) << errorText();
        EXPECT_LT(MailLibPop3Authenticate(handle, server->user().c_str(), "hunter2-wrong", apop),
                  0);
        std::string error = errorText();
        EXPECT_NE(error.find("-ERR"), std::string::npos) << error;
        EXPECT_NE(error.find(server->address()), std::string::npos) << error;
        EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
        MailLibPop3Close(handle);
        handle = -1;
    }
}

TEST_F(Pop3Dovecot, ApopLogsIn) {
    server->addMessage(kPlain);
    server->addMessage(kPlain);
    EXPECT_EQ(login(server->address(), -1), 2);
}

TEST_F(Pop3Dovecot, MessagesKeepTheOrderTheyWereAddedIn) {
    for (int i = 1; i <= 12; ++i)
        server->addMessage("Subject: m" + std::to_string(i) + "\r\n\r\nx\r\n");
    EXPECT_EQ(server->messageCount(), 12);
    ASSERT_EQ(login(server->address()), 12);
    Texts t;
    for (int i = 1; i <= 12; ++i) {
        status(handle, i, t);
        EXPECT_STREQ(t.subject.data(), std::string("m").append(std::to_string(i)).c_str());
    }
}

TEST_F(Pop3Dovecot, ListsIdsSizesAndTheRawHeader) {
    server->addMessage(kPlain);
    server->addMessage("Subject: second\r\n\r\nbody\r\n");
    ASSERT_EQ(login(server->address()), 2);
    std::vector<char> uidl1(kMailBufferBytes), uidl2(kMailBufferBytes);
    EXPECT_EQ(MailLibPop3GetUidl(handle, 1, uidl1.data(), kMailTextSize), 0);
    EXPECT_EQ(MailLibPop3GetUidl(handle, 2, uidl2.data(), kMailTextSize), 0);
    EXPECT_EQ(std::string(uidl1.data()).size(), 16u);  // %08Xu%08Xv
    EXPECT_NE(std::string(uidl1.data()), std::string(uidl2.data()));
    EXPECT_EQ(MailLibPop3GetMailSize(handle, 1), static_cast<int>(kPlain.size()));
    Texts t;
    EXPECT_EQ(status(handle, 1, t), 0);
    EXPECT_EQ(std::string(t.header.data()), kPlain.substr(0, kPlain.find("\r\n\r\n") + 2));
    EXPECT_EQ(std::string(t.subject.data()), "夕焼け@acme"_cp);
    EXPECT_EQ(std::string(t.date.data()), "Mon, 7 Dec 2026 09:00:00 +0900");
    EXPECT_NE(std::string(t.from.data()).find("山田"_cp), std::string::npos);

    // The same ids on the next connection.
    std::vector<char> again(kMailBufferBytes);
    ASSERT_EQ(login(server->address()), 2);
    MailLibPop3GetUidl(handle, 1, again.data(), kMailTextSize);
    EXPECT_STREQ(again.data(), uidl1.data());
}

TEST_F(Pop3Dovecot, FetchesBodyAndAttachmentsIntoTheFolder) {
    server->addMessage(kPlain);
    server->addMessage(
        "Subject: pic\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=xx\r\n\r\n--xx\r\n"
        "Content-Type: text/plain; charset=us-ascii\r\n\r\nhello\r\n--xx\r\n"
        "Content-Type: image/jpeg; name=p.jpg\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=p.jpg\r\n\r\n/9j/4AAQ\r\n--xx--\r\n");
    ASSERT_EQ(login(server->address()), 2);
    TempDir folder;
    Texts t;
    std::vector<char> body(static_cast<std::size_t>(MailLibPop3GetMailSize(handle, 1)), 'x');
    EXPECT_EQ(
        MailLibPop3GetMail(handle, 1, t.subject.data(), t.date.data(), t.from.data(),
                           t.header.data(), body.data(), folder.path().c_str(), t.names.data()),
        0);
    EXPECT_EQ(std::string(body.data()), "line one\r\n.leading dot\r\n");
    EXPECT_EQ(std::string(t.names.data()), "");
    EXPECT_EQ(std::string(t.subject.data()), "夕焼け@acme"_cp);
    EXPECT_EQ(std::string(t.header.data()), kPlain.substr(0, kPlain.find("\r\n\r\n") + 2));

    std::vector<char> body2(static_cast<std::size_t>(MailLibPop3GetMailSize(handle, 2)), 'x');
    EXPECT_EQ(
        MailLibPop3GetMail(handle, 2, t.subject.data(), t.date.data(), t.from.data(),
                           t.header.data(), body2.data(), folder.path().c_str(), t.names.data()),
        0);
    EXPECT_EQ(std::string(body2.data()), "hello");
    EXPECT_EQ(std::string(t.names.data()), "p.jpg");
    EXPECT_EQ(readBytes(folder.file("p.jpg")), std::string("\xFF\xD8\xFF\xE0\x00\x10", 6));
}

TEST_F(Pop3Dovecot, BigMessageArrivesWholeOverPlainAndTls) {
    const std::string body = bigBody();
    const std::string message = "Subject: big\r\n\r\n" + body;
    server->addMessage(message);
    for (std::string address : {server->address(), tlsAddress()}) {
        ASSERT_EQ(login(address), 1) << address;
        int size = MailLibPop3GetMailSize(handle, 1);
        ASSERT_EQ(size, static_cast<int>(message.size()));
        auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(size));
        Texts t;
        TempDir folder;
        EXPECT_EQ(MailLibPop3GetMail(handle, 1, t.subject.data(), t.date.data(), t.from.data(),
                                     t.header.data(), buffer.get(), folder.path().c_str(),
                                     t.names.data()),
                  0)
            << errorText();
        EXPECT_TRUE(std::string(buffer.get()) == body) << address;
        EXPECT_STREQ(t.subject.data(), "big");
    }
}

TEST_F(Pop3Dovecot, DeleteRemovesTheMessageAtClose) {
    server->addMessage("Subject: one\r\n\r\n1\r\n");
    server->addMessage("Subject: two\r\n\r\n2\r\n");
    ASSERT_EQ(login(server->address()), 2);
    EXPECT_EQ(MailLibPop3DeleteMail(handle, 1), 0);
    MailLibPop3Close(handle);
    handle = -1;
    EXPECT_EQ(server->messageCount(), 1);
    ASSERT_EQ(login(server->address()), 1);
    Texts t;
    status(handle, 1, t);
    EXPECT_STREQ(t.subject.data(), "two");
}

TEST_F(Pop3Dovecot, NumbersOutsideTheCountGiveEmptyTextsAndAnError) {
    server->addMessage(kPlain);
    ASSERT_EQ(login(server->address()), 1);
    for (int number : {0, 2, -1}) {
        std::vector<char> uidl(kMailBufferBytes, 'x');
        EXPECT_LT(MailLibPop3GetUidl(handle, number, uidl.data(), kMailTextSize), 0);
        EXPECT_EQ(uidl[0], '\0');
        EXPECT_LT(MailLibPop3GetMailSize(handle, number), 0);
        EXPECT_LT(MailLibPop3DeleteMail(handle, number), 0);
        Texts t;
        EXPECT_LT(status(handle, number, t), 0);
        EXPECT_EQ(t.subject[0], '\0');
        EXPECT_EQ(t.header[0], '\0');
        EXPECT_NE(errorText().find(std::to_string(number)), std::string::npos);
    }
    // The connection is still good.
    EXPECT_EQ(MailLibPop3GetMailSize(handle, 1), static_cast<int>(kPlain.size()));
}

// The mailbox of the program: messages fetched in the order it was told arrive whole and in
// order while the next ones are on their way.
TEST_F(Pop3Dovecot, MessagesFetchedInTheToldOrderArriveInOrder) {
    for (int i = 1; i <= 6; ++i)
        server->addMessage("Subject: m" + std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) +
                           "\r\n");
    auto box = mailbox();
    ASSERT_EQ(box->count(), 6);
    box->fetchInOrder({1, 2, 0, 7, 3, 5, 6});  // numbers off the list are left out
    for (int n : {1, 2, 3, 5, 6}) {
        EXPECT_EQ(box->header(n).subject, "m" + std::to_string(n));
        EXPECT_EQ(box->fetch(n, "").body, "body " + std::to_string(n) + "\r\n");
    }
    box->remove(2);
    box->close();
    EXPECT_EQ(server->messageCount(), 5);
}

TEST_F(Pop3Dovecot, MessagesAskedForAheadArriveWholeAndOtherCommandsStillWork) {
    server->addMessage(kPlain);
    server->addMessage("Subject: two\r\n\r\n" + bigBody());
    server->addMessage("Subject: three\r\n\r\n3\r\n");
    auto box = mailbox();
    ASSERT_EQ(box->count(), 3);
    box->askAhead({1});
    box->askAhead({2});
    EXPECT_EQ(box->header(1).subject, "夕焼け"_cp + "@acme");
    EXPECT_EQ(box->fetch(1, "").body, "line one\r\n.leading dot\r\n");
    // Message 2, megabytes of it, was asked for but something else comes first.
    box->remove(3);
    EXPECT_EQ(box->header(2).subject, "two");
    // Asked for and never fetched: the close still ends the session properly (QUIT deletes).
    box->askAhead({1});
    box->close();
    EXPECT_EQ(server->messageCount(), 2);
}
