// Saves pictures of the two dialogs for the layout review: client_screenshots OUTPUT_FOLDER
// (run under a real display, e.g. xvfb-run -a, so that the fonts are the ones users see).
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <iostream>

#include "platform/codepage.h"
#include "windows/dialogs.h"
#include "windows/qt_text.h"
#include "windows/qt_translations.h"
#include "windows/unite_form.h"
#include "windows/write_form.h"

namespace {

bool save(QWidget& widget, const QString& file) {
    widget.show();
    widget.raise();
    QApplication::processEvents();
    bool ok = widget.grab().save(file);
    if (!ok) std::cerr << "cannot write " << file.toStdString() << "\n";
    widget.hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: client_screenshots OUTPUT_FOLDER\n";
        return 2;
    }
    QString folder = QString::fromLocal8Bit(argv[1]) + "/";
    using korv::operator""_cp;
    korv::QtDialogs dialogs;

    korv::TWriteForm write(dialogs);
    write.ToEdit->setText("tanaka@example.jp");
    write.SubjectEdit->setText(korv::toQ("Re: 写真を送ります"_cp));
    write.memo1->setPlainText(korv::toQ(
        "田中さん\n\n昨日の写真です。折り返し表示の確認のため、この行は長めに書いてあります。\n\nよろしくお願いします。"_cp));
    write.AttachEdit->setText("/home/user/photo.jpg");

    korv::TUniteForm unite(dialogs);
    unite.show();  // an opening empties the list; fill it afterwards
    unite.FolderEdit->setText("/home/user/attachments");
    unite.FileListBox->addItem("/home/user/mail/part1.txt");
    unite.FileListBox->addItem("/home/user/mail/part2.txt");
    unite.UniteButton->setEnabled(true);

    // The save dialog as QtDialogs::saveFile opens it, with Qt's Japanese texts.
    QTranslator qtTexts;
    korv::loadQtTranslations(qtTexts, QLocale(QLocale::Japanese, QLocale::Japan));
    app.installTranslator(&qtTexts);
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    QTemporaryDir samples;
    QDir(samples.path()).mkdir("20261209");
    for (const char* name : {"header.txt", "body.txt", "夕焼け.txt"}) {
        QFile file(samples.filePath(QString::fromUtf8(name)));
        if (file.open(QIODevice::WriteOnly)) file.write("sample\n");
    }
    QFileDialog saveDialog;
    saveDialog.setAcceptMode(QFileDialog::AcceptSave);
    saveDialog.setOption(QFileDialog::DontUseNativeDialog);
    saveDialog.setNameFilter(korv::toQ("テキストファイル(*.txt)"_cp));
    saveDialog.setDirectory(samples.path());
    saveDialog.resize(640, 420);
    // The folder is listed by a thread of the dialog's model.
    saveDialog.show();
    QEventLoop listing;
    QTimer::singleShot(1000, &listing, &QEventLoop::quit);
    listing.exec();

    bool ok = save(write, folder + "write-form.png") && save(unite, folder + "unite-form.png") &&
              save(saveDialog, folder + "save-dialog.png");
    return ok ? 0 : 1;
}
