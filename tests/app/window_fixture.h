#pragma once
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <memory>
#include <string>

#include "app/qt_text.h"
#include "app/tform1.h"
#include "platform/codepage.h"
#include "support/fake_clock.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"

namespace korv::test {

// A loopback port that nobody listens on: connections to it are refused at once.
inline int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

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
