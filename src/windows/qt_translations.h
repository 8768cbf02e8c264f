#pragma once
// Qt's own texts (file dialogs, standard buttons) in the user's language.
#include <QLocale>
#include <QTranslator>

namespace korv {

// Loads qtbase for `locale` from Qt's translations (English has one: the texts as written); when
// Qt has none for it, the Japanese one, the language of the program's own texts. False when
// neither is there.
bool loadQtTranslations(QTranslator& translator, const QLocale& locale);

}  // namespace korv
