#pragma once
// Look shared by the two dialogs of the mail client.
#include <QDialog>
#include <QFont>
#include <functional>

namespace korv {

// "ＭＳ Ｐゴシック" at 15 pixels, where it exists; the Noto CJK face otherwise.
QFont dialogFont();

// How a dialog is run modally. Tests replace it to fill the fields and answer.
using ModalRunner = std::function<int(QDialog&)>;
inline int execModal(QDialog& dialog) { return dialog.exec(); }

}  // namespace korv
