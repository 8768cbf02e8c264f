#include "windows/unite_form.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <vector>

#include "client/client_core.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "windows/dialogs.h"
#include "windows/qt_text.h"

namespace korv {

TUniteForm::TUniteForm(Dialogs& dialogs, QWidget* parent) : QDialog(parent), dialogs_(dialogs) {
    setObjectName("UniteForm");
    setWindowTitle(toQ("添付ファイルを展開して保存"_cp));
    setFont(dialogFont());

    Label1 = new QLabel(toQ("ファイルリスト(&L)"_cp), this);
    Label1->setGeometry(4, 2, 280, 20);
    FileListBox = new QListWidget(this);
    FileListBox->setObjectName("FileListBox");
    FileListBox->setGeometry(4, 22, 280, 128);
    Label1->setBuddy(FileListBox);

    Label2 = new QLabel(toQ("出力フォルダ(&F)"_cp), this);
    Label2->setGeometry(4, 154, 280, 20);
    FolderEdit = new QLineEdit(this);
    FolderEdit->setObjectName("FolderEdit");
    FolderEdit->setGeometry(4, 174, 280, 24);
    Label2->setBuddy(FolderEdit);

    AddButton = new QPushButton(toQ("追加(&A)"_cp), this);
    AddButton->setObjectName("AddButton");
    AddButton->setGeometry(4, 204, 75, 25);
    UniteButton = new QPushButton(toQ("展開(&E)"_cp), this);
    UniteButton->setObjectName("UniteButton");
    UniteButton->setGeometry(128, 204, 75, 25);
    UniteButton->setDefault(true);
    CancelButton = new QPushButton(toQ("ｷｬﾝｾﾙ"_cp), this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setGeometry(209, 204, 75, 25);

    setTabOrder(FileListBox, FolderEdit);
    setTabOrder(FolderEdit, AddButton);
    setTabOrder(AddButton, UniteButton);
    setTabOrder(UniteButton, CancelButton);

    connect(AddButton, &QPushButton::clicked, this,
            [this] { runGuarded(dialogs_, this, [this] { AddButtonClick(); }); });
    connect(UniteButton, &QPushButton::clicked, this,
            [this] { runGuarded(dialogs_, this, [this] { UniteButtonClick(); }); });
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

    setFixedSize(288, 232);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    runGuarded(dialogs_, this, [this] { FormCreate(); });
}

void TUniteForm::FormCreate() { FolderEdit->setText(toQ(currentFolder())); }

void TUniteForm::FormActivate() {
    ExpectedPart = 1;
    FileListBox->clear();
    UniteButton->setEnabled(false);
}

void TUniteForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Restoring a minimised dialog is not a new opening.
    if (!event->spontaneous()) runGuarded(dialogs_, this, [this] { FormActivate(); });
}

void TUniteForm::AddButtonClick() {
    auto path = dialogs_.openFile(this, "テキストファイル|*.txt"_cp, "*.txt");
    if (!path) return;
    PartStatus part = ReadPartStatus(*path);
    PartDecision decision =
        DecidePart(part.status, part.id, FileListBox->count() == 0, ExpectedPart, SplitId);
    if (decision != PartDecision::Add) {
        dialogs_.plainBox(this, RefusalMessage(decision));
        return;
    }
    FileListBox->addItem(toQ(*path));
    ++ExpectedPart;
    UniteButton->setEnabled(true);
}

void TUniteForm::UniteButtonClick() {
    if (FileListBox->count() == 0) return;
    std::vector<std::string> files;
    for (int i = 0; i < FileListBox->count(); ++i)
        files.push_back(fromQ(FileListBox->item(i)->text()));
    std::string folder = fromQ(FolderEdit->text());
    ExtractionResult result = ExtractAttachment(files, folder);
    std::string report = ExtractionReport(result, folder);
    if (!report.empty()) dialogs_.plainBox(this, report);
    if (result.status == 1) accept();
}

}  // namespace korv
