#include "windows/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "windows/qt_text.h"

namespace korv {
namespace {

// "テキストファイル(*.txt)|*.txt" → "テキストファイル (*.txt)"
QString qtFilter(const std::string& filter) {
    if (filter.empty()) return {};
    QStringList parts = toQ(filter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i];
        if (!name.contains('(')) name += " (" + parts[i + 1].replace(';', ' ') + ")";
        out << name;
    }
    return out.join(";;");
}

void box(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const std::string& text) {
    QMessageBox mb(icon, caption, toQ(text), QMessageBox::Ok, owner);
    mb.exec();
}

}  // namespace

void QtDialogs::errorBox(QWidget* owner, const std::string& text) {
    box(owner, QMessageBox::Critical, toQ("エラー"_cp), text);
}

void QtDialogs::plainBox(QWidget* owner, const std::string& text) {
    box(owner, QMessageBox::NoIcon, "Korvanto 2", text);
}

void QtDialogs::systemBox(QWidget* owner, const std::string& text, const std::string& caption) {
    box(owner, QMessageBox::NoIcon, toQ(caption), text);
}

std::optional<std::string> QtDialogs::openFile(QWidget* owner, const std::string& filter,
                                               const std::string&) {
    QString name = QFileDialog::getOpenFileName(owner, QString(), QString(), qtFilter(filter));
    if (name.isEmpty()) return std::nullopt;
    return fromQ(name);
}

std::optional<std::string> QtDialogs::saveFile(QWidget* owner, const std::string& filter,
                                               const std::string& defaultExt) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(qtFilter(filter));
    std::string ext = defaultExt;
    if (ext.rfind("*.", 0) == 0) ext = ext.substr(2);
    dialog.setDefaultSuffix(toQ(ext));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return fromQ(dialog.selectedFiles().first());
}

void showStandardError(Dialogs& dialogs, QWidget* owner, const std::exception& e) {
    dialogs.errorBox(owner, e.what());
}

void showUnknownError(Dialogs& dialogs, QWidget* owner) {
    dialogs.errorBox(owner, "不明なエラーが発生しました"_cp);
}

}  // namespace korv
