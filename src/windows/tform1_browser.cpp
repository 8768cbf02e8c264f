// The mailbox browser and the mail-client commands of the main window.
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTreeWidget>

#include "client/compose.h"
#include "client/mailbox.h"
#include "platform/codepage.h"
#include "windows/qt_text.h"
#include "windows/tform1.h"
#include "windows/unite_form.h"
#include "windows/write_form.h"

namespace korv {
namespace {

// Position of the selected row, or -1.
int selectedRow(QTreeWidget* list) {
    const auto items = list->selectedItems();
    if (items.isEmpty()) return -1;
    return list->indexOfTopLevelItem(items.first());
}

// The composition dialog's fields as a mail.
mail::OutgoingMail composed(const TWriteForm& form) {
    mail::OutgoingMail mail;
    mail.body = form.MessageBody();
    mail.to = fromQ(form.ToEdit->text());
    mail.subject = fromQ(form.SubjectEdit->text());
    return mail;
}

}  // namespace

void TForm1::RefreshMailList() {
    memo1->clear();
    MailRows.clear();
    Viewed = {};
    MailListView->clear();

    // A server that cannot be reached or refuses the login raises why, for the error box.
    for (MailRow& row : ListMailbox(settings)) {
        MailListView->addTopLevelItem(
            new QTreeWidgetItem(QStringList{toQ(row.subject), toQ(row.date), toQ(row.from)}));
        MailRows.push_back(std::move(row));
    }
}

void TForm1::MailListViewClick() {
    mSave->setEnabled(false);
    mReply->setEnabled(false);
    int p = selectedRow(MailListView);
    if (p < 0) return;
    Viewed = {};
    // A click on a row enables the commands also when its message cannot be fetched.
    struct EnableCommands {
        TForm1* form;
        ~EnableCommands() {
            form->mSave->setEnabled(true);
            form->mReply->setEnabled(true);
        }
    } enable{this};
    if (auto body = FetchBody(settings, p)) {
        Viewed = {p, std::move(*body)};
        memo1->setPlainText(toQ(Viewed.body + "\r\n"));
        QTextCursor cursor = memo1->textCursor();
        cursor.movePosition(QTextCursor::Start);
        memo1->setTextCursor(cursor);
        memo1->ensureCursorVisible();
        memo1->horizontalScrollBar()->setValue(0);
    }
}

void TForm1::MailListViewMouseUp(Qt::MouseButton button, int x, int y) {
    if (button != Qt::RightButton) return;
    PopupMenu->popup(MailListView->viewport()->mapToGlobal(QPoint(x, y)));
}

void TForm1::mDeleteClick() {
    int p = selectedRow(MailListView);
    if (p >= 0) DeleteMessage(settings, p);
    RefreshMailList();
}

void TForm1::mSaveClick() {
    int p = selectedRow(MailListView);
    if (p < 0 || p >= static_cast<int>(MailRows.size())) return;
    auto path = dialogs_.saveFile(this, "テキストファイル(*.txt)|*.txt"_cp, "*.txt");
    if (!path) return;
    std::string error = SaveMessage(settings, p, MailRows[p], Viewed, *path);
    if (!error.empty()) dialogs_.errorBox(this, error);
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
    sendFromWriteForm([this] {
        mail::OutgoingMail mail = composed(*WriteForm);
        mail.attachmentPath = fromQ(WriteForm->AttachEdit->text());
        std::string error = SendComposed(settings, mail);
        if (!error.empty()) dialogs_.errorBox(WriteForm, error);
        return error.empty();
    });
}

void TForm1::mPopupReplyClickClick() {
    int p = selectedRow(MailListView);
    if (!WriteForm || p < 0 || p >= static_cast<int>(MailRows.size())) return;
    ReplyDraft draft = PrefillReply(MailRows[p]);
    WriteForm->ToEdit->setText(toQ(draft.to));
    WriteForm->SubjectEdit->setText(toQ(draft.subject));
    WriteForm->memo1->clear();
    // A reply goes without an attachment; the field must not suggest otherwise.
    WriteForm->AttachEdit->clear();
    sendFromWriteForm([this, &draft] {
        mail::OutgoingMail mail = composed(*WriteForm);
        mail.extraHeaders = draft.thread;
        std::string error = SendComposed(settings, mail);
        // The reason goes with the box: a refused address names itself.
        if (!error.empty()) dialogs_.systemBox(WriteForm, error, "エラー"_cp);
        return error.empty();
    });
}

void TForm1::sendFromWriteForm(std::function<bool()> send) {
    // Sent from inside the dialog: a send that fails leaves it open with everything typed.
    WriteForm->Send = std::move(send);
    struct Unset {
        TWriteForm* form;
        ~Unset() { form->Send = nullptr; }
    } unset{WriteForm};
    WriteForm->showModal();
}

}  // namespace korv
