#pragma once
// The extraction dialog: joins saved message files and has the mail library write the attachment.
#include <QDialog>
#include <string>

#include "windows/dialog_style.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace korv {

class Dialogs;

class TUniteForm : public QDialog {
    Q_OBJECT
  public:
    explicit TUniteForm(Dialogs& dialogs, QWidget* parent = nullptr);

    // Shows the dialog modally through runModal.
    int showModal() { return runModal(*this); }

    void FormCreate();
    void FormActivate();
    void AddButtonClick();
    void UniteButtonClick();

    // The part number the next added file must report.
    int ExpectedPart = 1;
    // Identifier of the last accepted part 1; kept for the whole run.
    std::string SplitId;

    QLabel* Label1 = nullptr;
    QListWidget* FileListBox = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* FolderEdit = nullptr;
    QPushButton* AddButton = nullptr;
    QPushButton* UniteButton = nullptr;
    QPushButton* CancelButton = nullptr;

    ModalRunner runModal = execModal;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    Dialogs& dialogs_;
};

}  // namespace korv
