#pragma once
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <memory>
#include <string>

#include "platform/codepage.h"
#include "support/fake_clock.h"
#include "support/sample_mail.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"
#include "windows/qt_text.h"
#include "windows/tform1.h"

namespace korv::test {

inline std::string iniWith(const std::string& pop3Name) {
    return "[KORVANTO2]\r\nPop3Name=" + pop3Name + "\r\nUserID=korv\r\nPassword=secret\r\n";
}

struct WindowFixture {
    TempDir home;
    FakeClock clock{DateTime{2026, 12, 7, 8, 59, 58, 0}};
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;

    void start(const std::string& iniText) {
        if (!iniText.empty()) writeBytes(home.file("korvanto.ini"), iniText);
        form = std::make_unique<TForm1>(home.path(), clock, dialogs);
        form->FormActivate();
    }
    std::string memoText() { return fromQ(form->memo1->toPlainText()); }
    std::string logText() {
        return readBytes(home.path() + "DefaultAccount/" + formatDayName(clock.now()) + "/log.txt");
    }
};

}  // namespace korv::test
