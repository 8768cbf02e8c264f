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

// Refused and crafted addresses send nothing to anyone, and the text says why. Reply-To fields
// that decode to a second SMTP command are refused before the server is asked.
TEST_F(ComposeTest, ARefusedAddressSendsNothingAndSaysWhy) {
    const std::vector<std::pair<const char*, std::string>> replyTos = {
        {"one encoded word", "=?UTF-8?Q?victim@example.jp=0D=0ARCPT_TO:<third@example.net>?="},
        {"a word between the commands",
         "victim@example.jp=?UTF-8?Q?=0D=0A?=RCPT TO:<third@example.net>"},
        {"a lone line feed", "=?ISO-8859-1?Q?victim@example.jp=0ARCPT_TO:<third@example.net>?="},
    };
    for (const auto& [what, replyTo] : replyTos)
        pop3.addMessage(plainMessage(what, "1\r\n", "Reply-To: " + replyTo + "\r\n"));
    // The address, and what the text names besides the fixed words.
    std::vector<std::pair<std::string, std::string>> cases = {
        {"rejected@example.com", "550"},
        {"victim@example.jp\r\nRCPT TO:<third@example.net>",
         "victim@example.jp\\r\\nRCPT TO:<third@example.net>"},
    };
    for (const MailRow& row : rows()) cases.push_back({PrefillReply(row).to, "宛先"_cp});
    ASSERT_EQ(cases.size(), 5u);
    for (const auto& [to, named] : cases) {
        SCOPED_TRACE(to);
        mail::OutgoingMail mail;
        mail.to = to;
        mail.body = "text\r\n";
        std::string error = SendComposed(settings(), mail);
        EXPECT_EQ(error.rfind("送信できませんでした:"_cp, 0), 0u) << error;
        EXPECT_NE(error.find(named), std::string::npos) << error;
        EXPECT_EQ(error.find("RCPT TO") == std::string::npos, named == "550") << error;
    }
    EXPECT_TRUE(smtp.messages().empty());
}

}  // namespace
}  // namespace korv::test
