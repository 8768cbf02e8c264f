// The POP3 functions against a real Dovecot, and against a scripted peer for broken servers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "mail/maillib.h"
#include "mail/pop3_connection.h"
#include "platform/codepage.h"
#include "support/dovecot_server.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

struct Buffers {
    std::vector<char> subject = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> date = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> from = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> header = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> names = std::vector<char>(kMailBufferBytes, 'x');
};

std::string lastError() {
    std::vector<char> buf(kMailBufferBytes);
    MailLibGetMessage(0, buf.data(), kMailTextSize);
    return buf.data();
}

const std::string kPlain =
    "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
    "To: korv@example.jp\r\n"
    "Subject: =?UTF-8?B?5aSV54S844GR?=@acme\r\n"
    "Date: Mon, 7 Dec 2026 09:00:00 +0900\r\n"
    "Message-ID: <1@example.jp>\r\n"
    "\r\n"
    "line one\r\n.leading dot\r\n";

struct Pop3Dovecot : ::testing::Test {
    static inline std::unique_ptr<DovecotServer> server;
    static void SetUpTestSuite() {
        server = std::make_unique<DovecotServer>();
        setenv("KORVANTO_CA_FILE", server->caFile().c_str(), 1);
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { server->clearMessages(); }
    int login(const std::string& address, int apop = 0) {
        int h = MailLibPop3Connect(address.c_str());
        EXPECT_NE(h, -1) << lastError();
        if (h == -1) return -1;
        int count =
            MailLibPop3Authenticate(h, server->user().c_str(), server->password().c_str(), apop);
        EXPECT_GE(count, 0) << lastError();
        handle = h;
        return count;
    }
    void TearDown() override { MailLibPop3Close(handle); }
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
        {"pop3s://127.0.0.1", true, "127.0.0.1", 995, true},
        {"POP3S://h:9950/", true, "h", 9950, true},
        {"", false, "", 0, false},
        {"imap://h", false, "", 0, false},
        {"h:99999", false, "", 0, false},
        {"h:", false, "", 0, false},
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
    for (std::string address : {server->address(), "pop3://" + server->address(),
                                "pop3s://127.0.0.1:" + std::to_string(server->pop3sPort())}) {
        EXPECT_EQ(login(address), 1) << address;
        MailLibPop3Close(handle);
        handle = -1;
    }
}

TEST_F(Pop3Dovecot, TlsRefusesAnUntrustedCertificate) {
    unsetenv("KORVANTO_CA_FILE");
    int h =
        MailLibPop3Connect(("pop3s://127.0.0.1:" + std::to_string(server->pop3sPort())).c_str());
    setenv("KORVANTO_CA_FILE", server->caFile().c_str(), 1);
    EXPECT_EQ(h, -1);
    EXPECT_NE(lastError().find("TLS"), std::string::npos) << lastError();
}

TEST_F(Pop3Dovecot, WrongPasswordGivesTheServersTextWithoutThePassword) {
    handle = MailLibPop3Connect(server->address().c_str());
    ASSERT_NE(handle, -1);
    EXPECT_LT(MailLibPop3Authenticate(handle, "korv", "hunter2-wrong", 0), 0);
    std::string error = lastError();
    EXPECT_NE(error.find("-ERR"), std::string::npos) << error;
    EXPECT_EQ(error.find("hunter2-wrong"), std::string::npos) << error;
}

TEST_F(Pop3Dovecot, ApopLogsIn) {
    server->addMessage(kPlain);
    server->addMessage(kPlain);
    EXPECT_EQ(login(server->address(), -1), 2);
}

TEST_F(Pop3Dovecot, ListsIdsSizesAndTheRawHeader) {
    server->addMessage(kPlain);
    server->addMessage("Subject: second\r\n\r\nbody\r\n");
    ASSERT_EQ(login(server->address()), 2);
    std::vector<char> uidl1(kMailBufferBytes), uidl2(kMailBufferBytes);
    MailLibPop3GetUidl(handle, 1, uidl1.data(), kMailTextSize);
    MailLibPop3GetUidl(handle, 2, uidl2.data(), kMailTextSize);
    EXPECT_EQ(std::string(uidl1.data()).size(), 16u);
    EXPECT_NE(std::string(uidl1.data()), std::string(uidl2.data()));
    EXPECT_EQ(MailLibPop3GetMailSize(handle, 1), static_cast<int>(kPlain.size()));
    Buffers b;
    MailLibPop3GetMailStatus(handle, 1, b.subject.data(), b.date.data(), b.from.data(),
                             b.header.data(), 0);
    EXPECT_EQ(std::string(b.header.data()), kPlain.substr(0, kPlain.find("\r\n\r\n") + 2));
    EXPECT_EQ(std::string(b.subject.data()), "夕焼け@acme"_cp);
    EXPECT_EQ(std::string(b.date.data()), "Mon, 7 Dec 2026 09:00:00 +0900");
    EXPECT_NE(std::string(b.from.data()).find("山田"_cp), std::string::npos);
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
    Buffers b;
    std::vector<char> body(static_cast<std::size_t>(MailLibPop3GetMailSize(handle, 1)));
    MailLibPop3GetMail(handle, 1, b.subject.data(), b.date.data(), b.from.data(), b.header.data(),
                       body.data(), folder.path().c_str(), b.names.data());
    EXPECT_EQ(std::string(body.data()), "line one\r\n.leading dot\r\n");
    EXPECT_EQ(std::string(b.names.data()), "");
    std::vector<char> body2(static_cast<std::size_t>(MailLibPop3GetMailSize(handle, 2)));
    MailLibPop3GetMail(handle, 2, b.subject.data(), b.date.data(), b.from.data(), b.header.data(),
                       body2.data(), folder.path().c_str(), b.names.data());
    EXPECT_EQ(std::string(body2.data()), "hello");
    EXPECT_EQ(std::string(b.names.data()), "p.jpg");
    EXPECT_EQ(readBytes(folder.file("p.jpg")), std::string("\xFF\xD8\xFF\xE0\x00\x10", 6));
}

TEST_F(Pop3Dovecot, DeleteRemovesTheMessageAtClose) {
    server->addMessage(kPlain);
    server->addMessage(kPlain);
    ASSERT_EQ(login(server->address()), 2);
    EXPECT_EQ(MailLibPop3DeleteMail(handle, 1), 0);
    MailLibPop3Close(handle);
    handle = -1;
    EXPECT_EQ(login(server->address()), 1);
}

TEST_F(Pop3Dovecot, NumbersOutsideTheCountGiveEmptyTexts) {
    server->addMessage(kPlain);
    ASSERT_EQ(login(server->address()), 1);
    std::vector<char> uidl(kMailBufferBytes, 'x');
    EXPECT_LT(MailLibPop3GetUidl(handle, 2, uidl.data(), kMailTextSize), 0);
    EXPECT_EQ(uidl[0], '\0');
    EXPECT_LT(MailLibPop3GetMailSize(handle, 0), 1);
}

TEST(Pop3Failures, RefusedConnectionAndUnknownHandles) {
    int h = MailLibPop3Connect("127.0.0.1:1");
    EXPECT_EQ(h, -1);
    EXPECT_NE(lastError().find("127.0.0.1:1"), std::string::npos);
    EXPECT_EQ(MailLibPop3Close(-1), 0);
    EXPECT_LT(MailLibPop3Authenticate(12345, "u", "p", 0), 0);
}

TEST(Pop3Failures, UidlListingWithExtraBlanks) {
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK 2 20\r\n";
        if (c == "UIDL") return "+OK\r\n1    abc  \r\n  2\tdef\r\n.\r\n";
        return "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 2);
    std::vector<char> id(kMailBufferBytes);
    MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize);
    EXPECT_STREQ(id.data(), "abc");
    MailLibPop3GetUidl(h, 2, id.data(), kMailTextSize);
    EXPECT_STREQ(id.data(), "def");
    MailLibPop3Close(h);
}

TEST(Pop3Failures, DroppedConnectionInMidRetrFailsCleanly) {
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK 1 500\r\n";
        if (c == "LIST") return "+OK\r\n1 500\r\n.\r\n";
        if (c == "RETR 1") return "<drop>";
        return "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
    Buffers b;
    std::vector<char> body(500, 'x');
    TempDir folder;
    EXPECT_LT(
        MailLibPop3GetMail(h, 1, b.subject.data(), b.date.data(), b.from.data(), b.header.data(),
                           body.data(), folder.path().c_str(), b.names.data()),
        0);
    EXPECT_EQ(body[0], '\0');
    EXPECT_EQ(b.subject[0], '\0');
    EXPECT_FALSE(lastError().empty());
    EXPECT_EQ(MailLibPop3Close(h), 0);
}

TEST(Pop3Failures, StalledServerTimesOut) {
    Pop3Timeouts saved = pop3Timeouts();
    pop3Timeouts().readMs = 300;
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        return c == "USER u" ? "<stall>" : "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    EXPECT_LT(MailLibPop3Authenticate(h, "u", "p", 0), 0);
    EXPECT_NE(lastError().find("タイムアウト"_cp), std::string::npos) << lastError();
    MailLibPop3Close(h);
    pop3Timeouts() = saved;
}

TEST(Pop3Failures, GarbageGreetingAndGarbageRepliesFail) {
    {
        ScriptedPeer peer("HELLO THERE\r\n", [](const std::string&) { return std::string(); });
        EXPECT_EQ(MailLibPop3Connect(peer.address().c_str()), -1);
    }
    ScriptedPeer peer("+OK ready\r\n",
                      [](const std::string&) -> std::string { return "\x01\x02 what?\r\n"; });
    int h = MailLibPop3Connect(peer.address().c_str());
    EXPECT_LT(MailLibPop3Authenticate(h, "u", "p", 0), 0);
    MailLibPop3Close(h);
}

TEST(Pop3Failures, OversizedLineEndsCleanly) {
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK 1 5\r\n";
        if (c == "UIDL") return "+OK\r\n1 " + std::string(3 << 20, 'u');
        return "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
    std::vector<char> id(kMailBufferBytes, 'x');
    EXPECT_LT(MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize), 0);
    EXPECT_EQ(id[0], '\0');
    EXPECT_NE(lastError().find("長すぎます"_cp), std::string::npos);
    EXPECT_EQ(MailLibPop3Close(h), 0);
}

TEST(Pop3Failures, LongTextsStayInsideTheirBuffers) {
    for (std::size_t length : {8191u, 8192u, 100000u}) {
        std::string longId(length, 'i');
        std::string subject(length, 's');
        ScriptedPeer peer("+OK ready\r\n", [&](const std::string& c) -> std::string {
            if (c == "STAT") return "+OK 1 5\r\n";
            if (c == "UIDL") return "+OK\r\n1 " + longId + "\r\n.\r\n";
            if (c == "TOP 1 0") return "+OK\r\nSubject: " + subject + "\r\n\r\n.\r\n";
            return "+OK\r\n";
        });
        int h = MailLibPop3Connect(peer.address().c_str());
        ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
        // Exactly as large as promised: ASan reports any byte past the end.
        auto id = std::make_unique<char[]>(kMailBufferBytes);
        MailLibPop3GetUidl(h, 1, id.get(), kMailTextSize);
        EXPECT_EQ(std::string(id.get()), longId.substr(0, std::min<std::size_t>(length, 8191)));
        Buffers b;
        MailLibPop3GetMailStatus(h, 1, b.subject.data(), b.date.data(), b.from.data(),
                                 b.header.data(), 0);
        EXPECT_LE(std::string(b.subject.data()).size(), 8191u);
        EXPECT_LE(std::string(b.header.data()).size(), 8191u);
        MailLibPop3Close(h);
    }
}
