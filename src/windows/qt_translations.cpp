#include "windows/qt_translations.h"

#include <QLibraryInfo>

namespace korv {

bool loadQtTranslations(QTranslator& translator, const QLocale& locale) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    return translator.load(locale, "qtbase", "_", folder) ||
           translator.load(QLocale(QLocale::Japanese, QLocale::Japan), "qtbase", "_", folder);
}

}  // namespace korv
