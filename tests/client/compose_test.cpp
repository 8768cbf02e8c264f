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
    EXPECT_EQ(dialogs.shown[0].text, "送信できませんでした"_cp);
    EXPECT_EQ(dialogs.shown[0].caption, "エラー"_cp);
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
