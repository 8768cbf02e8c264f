// The mailbox browser and the mail-client commands of the main window.
#include <QAction>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTreeWidget>
#include <cstring>
#include <optional>
#include <vector>

#include "client/client_core.h"
#include "mail/maillib.h"
#include "mail/security.h"
#include "mail/smtp_mail.h"
#include "platform/codepage.h"
#include "platform/whole_file.h"
#include "windows/qt_text.h"
#include "windows/tform1.h"
#include "windows/unite_form.h"
#include "windows/write_form.h"

namespace korv {
namespace {

using MailBuffer = std::vector<char>;
MailBuffer newMailBuffer() { return MailBuffer(mail::kMailBufferBytes, '\0'); }
std::string textOf(const MailBuffer& buffer) { return std::string(buffer.data()); }

std::string lastMailError() {
    MailBuffer text = newMailBuffer();
    mail::MailLibGetMessage(0, text.data(), mail::kMailTextSize);
    return textOf(text);
}

// The browser's connections are protected as the poll's are.
int connectPop3(const Settings& settings) {
    return mail::Pop3Connect(
        settings.Pop3Name.c_str(),
        mail::connectOptions(settings.Pop3Security, settings.CaFile, "Pop3Security"));
}

int login(int handle, const Settings& settings) {
    return mail::MailLibPop3Authenticate(handle, settings.UserID.c_str(),
                                         Pop3Password(settings).c_str(),
                                         settings.ApopFlag ? -1 : 0);
}

// Sends through the settings' SMTP server; "" when sent, else why not.
std::string send(const Settings& settings, mail::OutgoingMail mail) {
    try {
        mail::ConnectOptions c =
            mail::connectOptions(settings.SmtpSecurity, settings.CaFile, "SmtpSecurity");
        mail::SmtpOptions options{c.security, c.caFile, settings.SmtpUser,
                                  settings.SmtpUser.empty() ? "" : SmtpPasswordOf(settings)};
        mail.from = settings.MailAddress;
        mail::sendMail(settings.SmtpName, mail, options);
        return {};
    } catch (const std::exception& e) {
        return e.what();
    }
}

// Closes a browser command's connection however the command ends, and forgets its handle.
struct ConnectionGuard {
    int& handle;
    ~ConnectionGuard() {
        mail::MailLibPop3Close(handle);
        handle = -1;
    }
};

// Position of the selected row, or -1.
int selectedRow(QTreeWidget* list) {
    const auto items = list->selectedItems();
    if (items.isEmpty()) return -1;
    return list->indexOfTopLevelItem(items.first());
}

}  // namespace

void TForm1::RefreshMailList() {
    memo1->clear();
    HeaderBlocks.clear();
    ViewedBody.clear();
    ViewedRow = -1;
    MailListView->clear();

    int handle = connectPop3(settings);
    if (handle == -1) return;
    ConnectionGuard connection{handle};
    int count = login(handle, settings);
    if (count < 0) {
        std::string error = lastMailError();
        // No connection is held open while the box waits for the user.
        mail::MailLibPop3Close(handle);
        handle = -1;
        dialogs_.errorBox(this, "ログインエラー:"_cp + error);
        return;
    }
    MailBuffer subject = newMailBuffer(), date = newMailBuffer(), from = newMailBuffer();
    for (int n = 1; n <= count; ++n) {
        auto block = NewHeaderBlock();
        mail::MailLibPop3GetMailStatus(handle, n, subject.data(), date.data(), from.data(),
                                       block.get(), 0);
        auto* row = new QTreeWidgetItem(
            QStringList{toQ(textOf(subject)), toQ(textOf(date)), toQ(textOf(from))});
        MailListView->addTopLevelItem(row);
        AppendHeaderLineEnd(block.get());
        HeaderBlocks.push_back(std::move(block));
    }
}

std::optional<std::string> TForm1::FetchBody(int p) {
    std::string folder = AttachmentFolder();
    std::optional<std::string> text;
    ConnectionHandle = connectPop3(settings);
    ConnectionGuard connection{ConnectionHandle};
    if (ConnectionHandle == -1 || p >= login(ConnectionHandle, settings)) return text;
    int size = mail::MailLibPop3GetMailSize(ConnectionHandle, p + 1);
    std::vector<char> body(size > 0 ? size : 0, '\0');
    MailBuffer subject = newMailBuffer(), date = newMailBuffer(), from = newMailBuffer(),
               header = newMailBuffer();
    auto fetch = [&] {
        return mail::MailLibPop3GetMail(
            ConnectionHandle, p + 1, subject.data(), date.data(), from.data(), header.data(),
            body.empty() ? nullptr : body.data(), folder.c_str(), nullptr);
    };
    // The listing's size is only a hint: a larger body is handed out on the second call, into a
    // buffer of the size it needs.
    if (fetch() == mail::kMailLibBodyTooLarge) {
        size = mail::MailLibPop3GetMailSize(ConnectionHandle, p + 1);
        body.assign(size > 0 ? size : 0, '\0');
        fetch();
    }
    text = body.empty() ? "" : std::string(body.data(), strnlen(body.data(), body.size()));
    return text;
}

void TForm1::MailListViewClick() {
    mSave->setEnabled(false);
    mReply->setEnabled(false);
    int p = selectedRow(MailListView);
    if (p < 0) return;
    ViewedRow = -1;
    ViewedBody.clear();
    if (auto body = FetchBody(p)) {
        ViewedBody = std::move(*body);
        ViewedRow = p;
        memo1->setPlainText(toQ(ViewedBody + "\r\n"));
        QTextCursor cursor = memo1->textCursor();
        cursor.movePosition(QTextCursor::Start);
        memo1->setTextCursor(cursor);
        memo1->ensureCursorVisible();
        memo1->horizontalScrollBar()->setValue(0);
    }
    mSave->setEnabled(true);
    mReply->setEnabled(true);
}

void TForm1::MailListViewMouseUp(Qt::MouseButton button, int x, int y) {
    if (button != Qt::RightButton) return;
    PopupMenu->popup(MailListView->viewport()->mapToGlobal(QPoint(x, y)));
}

void TForm1::mDeleteClick() {
    int p = selectedRow(MailListView);
    if (p >= 0) {
        ConnectionHandle = connectPop3(settings);
        ConnectionGuard connection{ConnectionHandle};
        if (ConnectionHandle != -1 && p < login(ConnectionHandle, settings))
            mail::MailLibPop3DeleteMail(ConnectionHandle, p + 1);
    }
    RefreshMailList();
}

void TForm1::mSaveClick() {
    int p = selectedRow(MailListView);
    if (p < 0 || p >= static_cast<int>(HeaderBlocks.size())) return;
    auto path = dialogs_.saveFile(this, "テキストファイル(*.txt)|*.txt"_cp, "*.txt");
    if (!path) return;
    // The message as the library gave it: the text area's Unicode text would not give every
    // CP932 byte back (0xED40 returns as 0xFA5C), and status lines may have joined it since.
    if (ViewedRow != p) {
        auto body = FetchBody(p);
        if (!body) {
            dialogs_.errorBox(this, "保存できませんでした: メッセージを受信できません"_cp);
            return;
        }
        ViewedBody = std::move(*body);
        ViewedRow = p;
    }
    WriteStringToFile(HeaderBlockText(HeaderBlocks[p].get()) + ViewedBody, *path);
}

void TForm1::mAttachmentClick() {
    if (UniteForm) UniteForm->showModal();
}

void TForm1::mCreateClick() {
    if (!WriteForm) return;
    WriteForm->ToEdit->clear();
    WriteForm->SubjectEdit->clear();
    WriteForm->AttachEdit->clear();
    WriteForm->memo1->clear();
    if (WriteForm->showModal() != QDialog::Accepted) return;
    std::string body = WriteForm->MessageBody();
    std::string to = fromQ(WriteForm->ToEdit->text());
    std::string subject = fromQ(WriteForm->SubjectEdit->text());
    std::string attachment = fromQ(WriteForm->AttachEdit->text());
    mail::OutgoingMail mail;
    mail.to = to;
    mail.subject = subject;
    mail.body = body;
    mail.attachmentPath = attachment;
    std::string error = send(settings, mail);
    if (!error.empty()) dialogs_.errorBox(this, "送信できませんでした:"_cp + error);
}

void TForm1::mPopupReplyClickClick() {
    int p = selectedRow(MailListView);
    if (!WriteForm || p < 0 || p >= static_cast<int>(HeaderBlocks.size())) return;
    const char* header = HeaderBlocks[p].get();
    auto field = [&](const char* name) -> std::optional<std::string> {
        MailBuffer value = newMailBuffer();
        if (mail::MailLibGetHeaderField(value.data(), header, name, mail::kMailTextSize) == 0)
            return std::nullopt;
        return textOf(value);
    };
    // A crafted Reply-To goes to the field as it is: the library refuses it and says why.
    if (auto replyTo = field("Reply-To:"))
        WriteForm->ToEdit->setText(toQ(*replyTo));
    else
        WriteForm->ToEdit->setText(MailListView->topLevelItem(p)->text(2));
    if (auto subject = field("Subject:"))
        WriteForm->SubjectEdit->setText(toQ("Re: " + OneLine(*subject)));
    else
        WriteForm->SubjectEdit->clear();
    WriteForm->memo1->clear();
    // A reply goes without an attachment; the field must not suggest otherwise.
    WriteForm->AttachEdit->clear();
    std::string thread =
        ReplyThreadHeaders(field("Message-ID:").value_or(""), field("References:").value_or(""));
    if (WriteForm->showModal() != QDialog::Accepted) return;
    std::string body = WriteForm->MessageBody();
    std::string to = fromQ(WriteForm->ToEdit->text());
    std::string subject = fromQ(WriteForm->SubjectEdit->text());
    mail::OutgoingMail mail;
    mail.to = to;
    mail.subject = subject;
    mail.body = body;
    mail.extraHeaders = thread;
    std::string error = send(settings, mail);
    // The reason goes with the box: a refused address names itself.
    if (!error.empty())
        dialogs_.systemBox(MailListView, "送信できませんでした:"_cp + error, "エラー"_cp);
}

}  // namespace korv
