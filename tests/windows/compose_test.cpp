// New messages and replies through the composition dialog, received by a real SMTP server.
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <filesystem>

#include "client_fixture.h"

namespace korv::test {
namespace {

class ComposeTest : public ClientTest {
  protected:
    // The dialog as the user fills it in; records what the fields held when it opened.
    void answerWith(std::string to, std::string subject, QString text, std::string attachment,
                    int result = QDialog::Accepted) {
        write.runModal = [=, this](QDialog&) {
            ++openings;
            openedWith = {fromQ(write.ToEdit->text()), fromQ(write.SubjectEdit->text()),
                          fromQ(write.memo1->toPlainText()), fromQ(write.AttachEdit->text())};
            write.show();
            write.ToEdit->setText(toQ(to));
            write.SubjectEdit->setText(toQ(subject));
            write.memo1->setPlainText(text);
            write.AttachEdit->setText(toQ(attachment));
            write.hide();
            return result;
        };
    }
    // Puts what the SMTP server received into the mailbox and shows it in the browser.
    void deliverAndView(const std::string& data) {
        pop3.clearMessages();
        pop3.addMessage(data);
        form->MailListView->clearSelection();  // delete with nothing selected only reloads
        form->mDeleteClick();
        ASSERT_EQ(rows(), 1) << (dialogs.shown.empty() ? "" : dialogs.shown.back().text);
        select(0);
        form->MailListViewClick();
    }

    int openings = 0;
    std::vector<std::string> openedWith;
};

TEST_F(ComposeTest, ANewMessageWithAnAttachmentArrivesWhole) {
    start();
    std::string photo = someBytes(7000, 7);
    std::string photoPath = saved.file("photo.jpg");
    writeBytes(photoPath, photo);
    write.ToEdit->setText("left over");
    write.AttachEdit->setText("/left/over");
    write.memo1->setPlainText("left over");
    answerWith("friend@example.com", "週末の写真"_cp,
               QString::fromUtf8("こんにちは\n写真を送ります。\n\n田中"), photoPath);
    form->mCreate->trigger();

    EXPECT_EQ(openedWith, (std::vector<std::string>{"", "", "", ""}))
        << "a new message starts empty";
    EXPECT_TRUE(dialogs.shown.empty());
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].mailFrom, "korv@example.jp");
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"friend@example.com"});

    ASSERT_NO_FATAL_FAILURE(deliverAndView(sent[0].data));
    EXPECT_EQ(cell(0, 0), "週末の写真"_cp);
    EXPECT_NE(cell(0, 2).find("korv@example.jp"), std::string::npos) << cell(0, 2);
    std::string header = HeaderBlockText(form->HeaderBlocks[0].get());
    EXPECT_NE(header.find("To: friend@example.com"), std::string::npos) << header;
    EXPECT_EQ(memo(), "こんにちは\n写真を送ります。\n\n田中\n\n"_cp);
    EXPECT_TRUE(readBytes(AttachmentFolder() + "photo.jpg") == photo) << "the attachment differs";
}

TEST_F(ComposeTest, TheBodyIsSentWithCrLfLineEnds) {
    start();
    answerWith("friend@example.com", "plain", "line one\nline two\n\nlast\n", "");
    form->mCreateClick();
    EXPECT_TRUE(dialogs.shown.empty());
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].data.find("\r\n\r\nline one\r\nline two\r\n\r\nlast\r\n"), std::string::npos)
        << sent[0].data;
}

TEST_F(ComposeTest, ARefusedRecipientShowsTheLibrarysText) {
    start();
    answerWith("rejected@example.com", "x", "text", "");
    form->runHandler(&TForm1::mCreateClick);
    EXPECT_TRUE(smtp.messages().empty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    const std::string prefix = "送信できませんでした:"_cp;
    EXPECT_EQ(dialogs.shown[0].text.substr(0, prefix.size()), prefix);
    EXPECT_GT(dialogs.shown[0].text.size(), prefix.size());
}

TEST_F(ComposeTest, CancelSendsNothing) {
    start();
    answerWith("friend@example.com", "x", "text", "", QDialog::Rejected);
    form->mCreateClick();
    pop3.addMessage(plainMessage("one", "1\r\n", "Reply-To: answers@example.jp\r\n"));
    form->mDeleteClick();
    select(0);
    form->mPopupReplyClickClick();
    EXPECT_EQ(openings, 2);
    EXPECT_TRUE(smtp.messages().empty());
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ComposeTest, AReplyGoesToReplyToWithReSubjectAndNoAttachment) {
    pop3.addMessage(plainMessage(jisWord("Re: 旅行"_cp), jis("本文\r\n"_cp),
                                 "Reply-To: answers@example.jp\r\n"));
    start();
    form->mDeleteClick();
    select(0);
    std::string photoPath = saved.file("photo.jpg");
    writeBytes(photoPath, someBytes(3000, 3));
    write.AttachEdit->setText(toQ(photoPath));
    write.memo1->setPlainText("left over");
    write.runModal = [&](QDialog&) {
        ++openings;
        openedWith = {fromQ(write.ToEdit->text()), fromQ(write.SubjectEdit->text()),
                      fromQ(write.memo1->toPlainText()), fromQ(write.AttachEdit->text())};
        write.show();
        write.memo1->setPlainText("thanks");
        // Even a path typed again is not sent with a reply.
        write.AttachEdit->setText(toQ(photoPath));
        write.hide();
        return static_cast<int>(QDialog::Accepted);
    };
    form->mPopupReply->trigger();

    EXPECT_EQ(openedWith,
              (std::vector<std::string>{"answers@example.jp", "Re: Re: 旅行"_cp, "", ""}));
    EXPECT_TRUE(dialogs.shown.empty());
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"answers@example.jp"});
    EXPECT_EQ(sent[0].data.find("photo.jpg"), std::string::npos) << "no attachment";
    ASSERT_NO_FATAL_FAILURE(deliverAndView(sent[0].data));
    EXPECT_EQ(cell(0, 0), "Re: Re: 旅行"_cp);
    EXPECT_EQ(memo(), "thanks\n\n");
    EXPECT_TRUE(std::filesystem::is_empty(nativePath(AttachmentFolder())));
}

TEST_F(ComposeTest, AReplyWithoutReplyToOrSubjectUsesTheSenderColumnAndNoSubject) {
    pop3.addMessage(
        "From: yamada@example.jp\r\nTo: korv@example.jp\r\nDate: Mon, 7 Dec 2026 10:11:12 +0900\r\n"
        "\r\nno subject here\r\n");
    start();
    form->mDeleteClick();
    select(0);
    write.SubjectEdit->setText("left over");
    write.runModal = [&](QDialog&) {
        openedWith = {fromQ(write.ToEdit->text()), fromQ(write.SubjectEdit->text())};
        write.memo1->setPlainText("ok");
        return static_cast<int>(QDialog::Accepted);
    };
    form->mPopupReplyClickClick();
    EXPECT_EQ(openedWith[0], cell(0, 2));
    EXPECT_EQ(openedWith[1], "");
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"yamada@example.jp"});
}

TEST_F(ComposeTest, AFailedReplyShowsThePlainSystemBox) {
    pop3.addMessage(plainMessage("one", "1\r\n", "Reply-To: rejected@example.jp\r\n"));
    start();
    form->mDeleteClick();
    select(0);
    write.runModal = [](QDialog&) { return static_cast<int>(QDialog::Accepted); };
    form->mPopupReplyClickClick();
    EXPECT_TRUE(smtp.messages().empty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "system");
    // The fixed text, then the library's reason.
    const std::string prefix = "送信できませんでした:"_cp;
    EXPECT_EQ(dialogs.shown[0].text.substr(0, prefix.size()), prefix);
    EXPECT_NE(dialogs.shown[0].text.find("550"), std::string::npos) << dialogs.shown[0].text;
    EXPECT_EQ(dialogs.shown[0].caption, "エラー"_cp);
}

// Reply-To fields that decode to a second SMTP command. The reply is refused before the server
// is asked, the box names the address, and nobody receives anything.
TEST_F(ComposeTest, AReplyToACraftedReplyToSendsNothingToAnyone) {
    const std::vector<std::pair<const char*, std::string>> replyTos = {
        {"one encoded word", "=?UTF-8?Q?victim@example.jp=0D=0ARCPT_TO:<third@example.net>?="},
        {"a word between the commands",
         "victim@example.jp=?UTF-8?Q?=0D=0A?=RCPT TO:<third@example.net>"},
        {"a lone line feed", "=?ISO-8859-1?Q?victim@example.jp=0ARCPT_TO:<third@example.net>?="},
    };
    for (const auto& [what, replyTo] : replyTos)
        pop3.addMessage(plainMessage(what, "1\r\n", "Reply-To: " + replyTo + "\r\n"));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 3);
    write.runModal = [](QDialog&) { return static_cast<int>(QDialog::Accepted); };
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(replyTos[row].first);
        select(row);
        dialogs.shown.clear();
        form->mPopupReplyClickClick();
        ASSERT_EQ(dialogs.shown.size(), 1u);
        EXPECT_EQ(dialogs.shown[0].kind, "system");
        const std::string& text = dialogs.shown[0].text;
        EXPECT_NE(text.find("宛先"_cp), std::string::npos) << text;
        EXPECT_NE(text.find("RCPT TO:<third@example.net>"), std::string::npos) << text;
    }
    EXPECT_TRUE(smtp.messages().empty());
}

TEST_F(ComposeTest, AnInjectedRecipientInANewMessageIsNamedAndNotSent) {
    start();
    answerWith("victim@example.jp\r\nRCPT TO:<third@example.net>", "x", "text", "");
    form->runHandler(&TForm1::mCreateClick);
    EXPECT_TRUE(smtp.messages().empty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    EXPECT_NE(dialogs.shown[0].text.find("victim@example.jp\\r\\nRCPT TO:<third@example.net>"),
              std::string::npos)
        << dialogs.shown[0].text;
}

TEST_F(ComposeTest, AReplyThreadsUnderTheOriginal) {
    pop3.addMessage(plainMessage("first", "1\r\n",
                                 "Message-ID: <orig@example.jp>\r\n"
                                 "References: <root@example.jp>\r\n <mid@example.jp>\r\n"));
    // A subject that decodes to two lines is answered on one.
    pop3.addMessage(plainMessage("=?UTF-8?Q?two=0D=0ABcc:_third@example.net?=", "3\r\n"));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 2);
    write.runModal = [this](QDialog&) {
        openedWith = {fromQ(write.SubjectEdit->text())};
        write.memo1->setPlainText("ok");
        return static_cast<int>(QDialog::Accepted);
    };
    for (int row = 0; row < 2; ++row) {
        select(row);
        form->mPopupReplyClickClick();
    }
    EXPECT_EQ(openedWith, std::vector<std::string>{"Re: two Bcc: third@example.net"});
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown[0].text;
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].parsedOne("in-reply-to"), "<orig@example.jp>");
    EXPECT_EQ(sent[0].parsedOne("references"),
              "<root@example.jp> <mid@example.jp> <orig@example.jp>");
    EXPECT_EQ(sent[1].parsedOne("in-reply-to"), "");
    EXPECT_EQ(sent[1].parsedOne("subject"), "Re: two Bcc: third@example.net");
    for (const auto& m : sent) {
        EXPECT_EQ(m.rcptTo, std::vector<std::string>{"yamada@example.jp"});
        EXPECT_EQ(m.parsedAll("defect"), std::vector<std::string>{});
    }
}

TEST_F(ComposeTest, AReplyWithNothingSelectedDoesNothing) {
    pop3.addMessage(plainMessage("one", "1\r\n"));
    start();
    form->mDeleteClick();
    form->MailListView->clearSelection();
    answerWith("x@example.jp", "x", "x", "");
    form->mPopupReplyClickClick();
    EXPECT_EQ(openings, 0);
    EXPECT_TRUE(smtp.messages().empty());
}

}  // namespace
}  // namespace korv::test
