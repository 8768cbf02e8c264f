// New messages and replies, received by a real SMTP server and read back through the browser.
#include <filesystem>

#include "client/client_core.h"
#include "client/compose.h"
#include "server_fixture.h"

namespace korv::test {
namespace {

using ComposeTest = ServerTest;

TEST_F(ComposeTest, ANewMessageWithAnAttachmentArrivesWhole) {
    std::string photo = someBytes(7000, 7);
    writeBytes(saved.file("photo.jpg"), photo);
    mail::OutgoingMail mail;
    mail.to = "friend@example.com";
    mail.subject = "週末の写真"_cp;
    mail.body = "こんにちは\r\n写真を送ります。\r\n\r\n田中\r\n"_cp;
    mail.attachmentPath = saved.file("photo.jpg");
    EXPECT_EQ(SendComposed(settings(), mail), "");
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].mailFrom, "korv@example.jp");
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"friend@example.com"});

    pop3.addMessage(sent[0].data);
    auto list = rows();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].subject, "週末の写真"_cp);
    EXPECT_NE(list[0].from.find("korv@example.jp"), std::string::npos) << list[0].from;
    EXPECT_NE(list[0].header.find("To: friend@example.com"), std::string::npos) << list[0].header;
    EXPECT_EQ(FetchBody(settings(), 0), mail.body);
    EXPECT_TRUE(readBytes(AttachmentFolder() + "photo.jpg") == photo) << "the attachment differs";
}

struct RefusalCase {
    const char* name;
    std::string to;
    std::string named;  // what the error text must hold
};

// Refused and crafted addresses send nothing to anyone; the text says why.
TEST_F(ComposeTest, ARefusedAddressSendsNothingAndSaysWhy) {
    const std::vector<RefusalCase> cases = {
        {"refused by the server", "rejected@example.com", "550"},
        {"an injected command", "victim@example.jp\r\nRCPT TO:<third@example.net>",
         "victim@example.jp\\r\\nRCPT TO:<third@example.net>"},
    };
    const std::string prefix = "送信できませんでした:"_cp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mail::OutgoingMail mail;
        mail.to = c.to;
        mail.subject = "x";
        mail.body = "text\r\n";
        std::string error = SendComposed(settings(), mail);
        EXPECT_EQ(error.substr(0, prefix.size()), prefix);
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
    EXPECT_TRUE(smtp.messages().empty());
}

struct ReplyCase {
    const char* name;
    std::string subjectLine, extraHeaders;
    std::string to, subject, thread;  // expected; to "" is the row's sender
};

TEST_F(ComposeTest, AReplyStartsFromTheRowsHeaderBlock) {
    const std::vector<ReplyCase> cases = {
        {"ReplyToAndReSubject", jisWord("Re: 旅行"_cp), "Reply-To: answers@example.jp\r\n",
         "answers@example.jp", "Re: Re: 旅行"_cp, ""},
        {"Threaded", "first",
         "Message-ID: <orig@example.jp>\r\nReferences: <root@example.jp>\r\n <mid@example.jp>\r\n",
         "", "Re: first",
         "In-Reply-To: <orig@example.jp>\r\n"
         "References: <root@example.jp> <mid@example.jp> <orig@example.jp>"},
        // A subject that decodes to two lines is answered on one.
        {"SubjectOnOneLine", "=?UTF-8?Q?two=0D=0ABcc:_third@example.net?=", "", "",
         "Re: two Bcc: third@example.net", ""},
    };
    for (const auto& c : cases)
        pop3.addMessage(plainMessage(c.subjectLine, "1\r\n", c.extraHeaders));
    pop3.addMessage(
        "From: yamada@example.jp\r\nTo: korv@example.jp\r\nDate: Mon, 7 Dec 2026 10:11:12 +0900\r\n"
        "\r\nno subject here\r\n");
    auto list = rows();
    ASSERT_EQ(list.size(), cases.size() + 1);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        ReplyDraft draft = PrefillReply(list[i]);
        EXPECT_EQ(draft.to, cases[i].to.empty() ? list[i].from : cases[i].to);
        EXPECT_EQ(draft.subject, cases[i].subject);
        EXPECT_EQ(draft.thread, cases[i].thread);
    }
    ReplyDraft bare = PrefillReply(list.back());
    EXPECT_EQ(bare.to, list.back().from);
    EXPECT_EQ(bare.subject, "");
}

TEST_F(ComposeTest, AReplyThreadsUnderTheOriginal) {
    pop3.addMessage(plainMessage("first", "1\r\n",
                                 "Message-ID: <orig@example.jp>\r\n"
                                 "References: <root@example.jp>\r\n <mid@example.jp>\r\n"));
    ReplyDraft draft = PrefillReply(rows().at(0));
    mail::OutgoingMail mail;
    mail.to = draft.to;
    mail.subject = draft.subject;
    mail.body = "ok\r\n";
    mail.extraHeaders = draft.thread;
    EXPECT_EQ(SendComposed(settings(), mail), "");
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"yamada@example.jp"});
    EXPECT_EQ(sent[0].parsedOne("in-reply-to"), "<orig@example.jp>");
    EXPECT_EQ(sent[0].parsedOne("references"),
              "<root@example.jp> <mid@example.jp> <orig@example.jp>");
    EXPECT_EQ(sent[0].parsedAll("defect"), std::vector<std::string>{});
}

// Reply-To fields that decode to a second SMTP command: the reply is refused before the server
// is asked, the text names the address, and nobody receives anything.
TEST_F(ComposeTest, AReplyToACraftedReplyToSendsNothingToAnyone) {
    const std::vector<std::pair<const char*, std::string>> replyTos = {
        {"one encoded word", "=?UTF-8?Q?victim@example.jp=0D=0ARCPT_TO:<third@example.net>?="},
        {"a word between the commands",
         "victim@example.jp=?UTF-8?Q?=0D=0A?=RCPT TO:<third@example.net>"},
        {"a lone line feed", "=?ISO-8859-1?Q?victim@example.jp=0ARCPT_TO:<third@example.net>?="},
    };
    for (const auto& [what, replyTo] : replyTos)
        pop3.addMessage(plainMessage(what, "1\r\n", "Reply-To: " + replyTo + "\r\n"));
    auto list = rows();
    ASSERT_EQ(list.size(), 3u);
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(replyTos[row].first);
        mail::OutgoingMail mail;
        mail.to = PrefillReply(list[row]).to;
        mail.body = "\r\n";
        std::string error = SendComposed(settings(), mail);
        EXPECT_NE(error.find("宛先"_cp), std::string::npos) << error;
        EXPECT_NE(error.find("RCPT TO:<third@example.net>"), std::string::npos) << error;
    }
    EXPECT_TRUE(smtp.messages().empty());
}

}  // namespace
}  // namespace korv::test
