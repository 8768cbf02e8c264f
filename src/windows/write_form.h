#pragma once
// The composition dialog of the new-message and reply commands.
#include <QDialog>
#include <functional>
#include <string>

#include "windows/dialog_style.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace korv {

class Dialogs;

class TWriteForm : public QDialog {
    Q_OBJECT
  public:
    explicit TWriteForm(Dialogs& dialogs, QWidget* parent = nullptr);

    // Shows the dialog modally through runModal; QDialog::Accepted when the user chose Send
    // and Send (when set) succeeded.
    int showModal() { return runModal(*this); }
    // Lets the user pick the file to attach.
    void AttachButtonClick();
    // Runs Send; the dialog closes only when it went, and otherwise stays with everything typed.
    void SendButtonClick();
    // The text area's lines as shown (wrapped lines count as lines), each followed by CR LF.
    std::string MessageBody() const;

    QLabel* Label1 = nullptr;
    QLineEdit* ToEdit = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* SubjectEdit = nullptr;
    QPlainTextEdit* memo1 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* AttachEdit = nullptr;
    QPushButton* AttachButton = nullptr;
    QPushButton* SendButton = nullptr;
    QPushButton* CancelButton = nullptr;

    ModalRunner runModal = execModal;
    // What Send does while the dialog is open: true when the mail went. The command that opens
    // the dialog sets it and says itself why a send failed.
    std::function<bool()> Send;

  private:
    Dialogs& dialogs_;
};

}  // namespace korv
