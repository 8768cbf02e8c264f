// The windows, in a module of their own that the program loads only to open them: a one-shot
// poll then starts without Qt and the display libraries.
#include <QApplication>
#include <QTranslator>

#include "windows/qt_translations.h"
#include "windows/tform1.h"
#include "windows/unite_form.h"
#include "windows/write_form.h"

extern "C" __attribute__((visibility("default"))) int korvantoRunWindow(int* argc, char** argv,
                                                                        const char* programFolder) {
    QApplication app(*argc, argv);
    QTranslator qtTexts;
    if (korv::loadQtTranslations(qtTexts, QLocale())) app.installTranslator(&qtTexts);
    korv::QtDialogs dialogs;
    korv::SystemClock clock;
    korv::TForm1 form(programFolder, clock, dialogs);
    korv::TWriteForm writeForm(dialogs);
    korv::TUniteForm uniteForm(dialogs);
    form.setDialogs(&writeForm, &uniteForm);
    if (form.hasEnded()) return 0;
    form.show();
    return app.exec();
}
