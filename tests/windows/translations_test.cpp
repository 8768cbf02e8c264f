// Qt's own buttons and dialogs speak the user's language, Japanese when Qt has none for it
// (English has one: the texts as written).
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "windows/qt_translations.h"

TEST(QtTranslations, FollowTheLocaleAndFallBackToJapanese) {
    struct Row {
        QLocale locale;
        QString cancel;
    } rows[] = {
        {QLocale(QLocale::Japanese, QLocale::Japan), QString::fromUtf8("キャンセル")},
        {QLocale(QLocale::German, QLocale::Germany), "Abbrechen"},
        {QLocale(QLocale::English, QLocale::UnitedStates), "Cancel"},
        {QLocale(QLocale::Swahili, QLocale::Kenya), QString::fromUtf8("キャンセル")},
        {QLocale::c(), QString::fromUtf8("キャンセル")},
    };
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.locale.name().toStdString());
        QTranslator translator;
        ASSERT_TRUE(korv::loadQtTranslations(translator, row.locale))
            << "qt6-translations-l10n comes with scripts/setup";
        QCoreApplication::installTranslator(&translator);
        EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), row.cancel);
        QCoreApplication::removeTranslator(&translator);
    }
}
