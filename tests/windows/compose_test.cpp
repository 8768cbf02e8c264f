// The composition dialog's wiring for new messages and replies, received by a real SMTP server.
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <functional>

#include "client_fixture.h"

namespace korv::test {
namespace {

class ComposeTest : public ClientTest {
  protected:
    std::vector<std::string> fields() const {
        return {fromQ(write.ToEdit->text()), fromQ(write.SubjectEdit->text()),
                fromQ(write.memo1->toPlainText()), fromQ(write.AttachEdit->text())};
    }
    // The dialog as the user fills it in and leaves it with Send or Cancel; records what the
    // fields held when it opened. `afterSend` runs while the dialog is still up after Send.
    void answerWith(std::string to, std::string subject, QString text, std::string attachment,
                    int result = QDialog::Accepted, std::function<void()> afterSend = {}) {
        write.runModal = [=, this](QDialog&) {
            ++openings;
            openedWith = fields();
            write.show();
            write.ToEdit->setText(toQ(to));
            write.SubjectEdit->setText(toQ(subject));
            write.memo1->setPlainText(text);
            write.AttachEdit->setText(toQ(attachment));
            (result == QDialog::Accepted ? write.SendButton : write.CancelButton)->click();
            if (afterSend && write.isVisible()) afterSend();
            write.hide();
            return write.result();
        };
    }
    void listAndSelect(int row) {
        form->mDeleteClick();
        select(row);
    }

    int openings = 0;
    std::vector<std::string> openedWith;
};

TEST_F(ComposeTest, ANewMessageStartsEmptyAndSendsTheFields) {
    start();
    std::string photoPath = saved.file("photo.jpg");
    writeBytes(photoPath, someBytes(700, 7));
    write.ToEdit->setText("left over");
    write.AttachEdit->setText("/left/over");
    write.memo1->setPlainText("left over");
    answerWith("friend@example.com", "週末の写真"_cp, "line one\nline two\n\nlast\n", photoPath);
    form->mCreate->trigger();

    EXPECT_EQ(openedWith, (std::vector<std::string>{"", "", "", ""}))
        << "a new message starts empty";
    EXPECT_TRUE(dialogs.shown.empty());
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"friend@example.com"});
    EXPECT_EQ(sent[0].parsedOne("subject"), "週末の写真");
    EXPECT_EQ(sent[0].parsedOne("attachment-name"), "photo.jpg");
    EXPECT_NE(sent[0].data.find("\r\n\r\nline one\r\nline two\r\n\r\nlast\r\n"), std::string::npos)
        << sent[0].data;

    // Cancel sends nothing.
    answerWith("friend@example.com", "x", "text", "", QDialog::Rejected);
    form->mCreateClick();
    EXPECT_EQ(openings, 2);
    EXPECT_EQ(smtp.messages().size(), 1u);
}

// A failed send loses nothing: the dialog stays with everything typed, and Send again goes.
TEST_F(ComposeTest, AFailedSendKeepsTheDialogOpenWithTheTextAndTheAttachment) {
    start();
    std::string photoPath = saved.file("photo.jpg");
    writeBytes(photoPath, someBytes(700, 7));
    std::vector<std::string> typed{"rejected@example.com", "写真"_cp, "two\nlines", photoPath};
    std::vector<std::string> keptAfterFailure;
    answerWith(typed[0], typed[1], toQ(typed[2]), typed[3], QDialog::Accepted, [&] {
        keptAfterFailure = fields();
        write.ToEdit->setText("friend@example.com");
        write.SendButton->click();
    });
    form->mCreate->trigger();
    EXPECT_EQ(keptAfterFailure, typed);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    EXPECT_EQ(dialogs.shown[0].text.rfind("送信できませんでした:"_cp, 0), 0u);
    EXPECT_NE(dialogs.shown[0].text.find("rejected@example.com"), std::string::npos)
        << dialogs.shown[0].text;
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u) << "sent once corrected";
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"friend@example.com"});
    EXPECT_EQ(sent[0].parsedOne("attachment-name"), "photo.jpg");
    EXPECT_NE(sent[0].data.find("two\r\nlines\r\n"), std::string::npos) << sent[0].data;
}

TEST_F(ComposeTest, AReplyFillsTheFormAndGoesThreadedWithoutAttachment) {
    pop3.addMessage(plainMessage(jisWord("Re: 旅行"_cp), jis("本文\r\n"_cp),
                                 "Reply-To: answers@example.jp\r\nMessage-ID: <orig@example.jp>\r\n"
                                 "References: <root@example.jp>\r\n <mid@example.jp>\r\n"));
    start();
    listAndSelect(0);
    std::string photoPath = saved.file("photo.jpg");
    writeBytes(photoPath, someBytes(3000, 3));
    write.AttachEdit->setText(toQ(photoPath));
    write.memo1->setPlainText("left over");
    // Even a path typed again is not sent with a reply.
    answerWith("answers@example.jp", "Re: Re: 旅行"_cp, "thanks", photoPath);
    form->mPopupReply->trigger();

    EXPECT_EQ(openedWith,
              (std::vector<std::string>{"answers@example.jp", "Re: Re: 旅行"_cp, "", ""}));
    EXPECT_TRUE(dialogs.shown.empty());
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTo, std::vector<std::string>{"answers@example.jp"});
    EXPECT_EQ(sent[0].data.find("photo.jpg"), std::string::npos) << "no attachment";
    EXPECT_EQ(sent[0].parsedOne("in-reply-to"), "<orig@example.jp>");
    EXPECT_EQ(sent[0].parsedOne("references"),
              "<root@example.jp> <mid@example.jp> <orig@example.jp>");
    EXPECT_EQ(sent[0].parsedAll("defect"), std::vector<std::string>{});

    // Cancel sends nothing; nothing selected opens nothing.
    answerWith("x@example.jp", "x", "x", "", QDialog::Rejected);
    form->mPopupReplyClickClick();
    form->MailListView->clearSelection();
    form->mPopupReplyClickClick();
    EXPECT_EQ(openings, 2);
    EXPECT_EQ(smtp.messages().size(), 1u);
}

TEST_F(ComposeTest, AFailedReplyShowsThePlainSystemBox) {
    pop3.addMessage(plainMessage("one", "1\r\n", "Reply-To: rejected@example.jp\r\n"));
    start();
    listAndSelect(0);
    bool stayedOpen = false;
    answerWith("rejected@example.jp", "Re: one", "thanks", "", QDialog::Accepted,
               [&] { stayedOpen = fields()[2] == "thanks"; });
    form->mPopupReplyClickClick();
    EXPECT_TRUE(stayedOpen);
    EXPECT_TRUE(smtp.messages().empty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "system");
    // The fixed text, then the library's reason.
    EXPECT_EQ(dialogs.shown[0].text.rfind("送信できませんでした:"_cp, 0), 0u);
    EXPECT_NE(dialogs.shown[0].text.find("550"), std::string::npos) << dialogs.shown[0].text;
    EXPECT_EQ(dialogs.shown[0].caption, "エラー"_cp);
}

}  // namespace
}  // namespace korv::test
