// The window's OAuth2 sign-in: the core's flow on a helper thread while a box without buttons
// keeps the window painted; the browser is the desktop's.
#include <QDesktopServices>
#include <QEventLoop>
#include <QLabel>
#include <QProgressDialog>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <exception>
#include <thread>

#include "platform/codepage.h"
#include "settings/oauth_tokens.h"
#include "windows/qt_text.h"
#include "windows/tform1.h"

namespace korv {

void TForm1::showSignedIn() {
    const bool oauth = usesOAuth2(settings.OAuth.Pop3Auth, "Pop3Auth") ||
                       usesOAuth2(settings.OAuth.SmtpAuth, "SmtpAuth");
    if (!oauth) return;
    if (!SignInLabel) {
        SignInLabel = new QLabel(this);
        SignInLabel->setObjectName("SignInLabel");
        statusBar()->addPermanentWidget(SignInLabel);
    }
    std::string text;
    try {
        auto user = SignedInUser(settings);
        text = user ? "サインイン: "_cp + *user : "サインインしていません"_cp;
    } catch (const std::exception& e) {
        text = e.what();
    }
    SignInLabel->setText(toQ(text));
}

void TForm1::mSignInClick() {
    QProgressDialog waiting(this);
    waiting.setWindowTitle(toQ("サインイン"_cp));
    waiting.setLabelText(toQ("ブラウザでサインインしてください。"_cp));
    waiting.setCancelButton(nullptr);
    waiting.setRange(0, 0);
    waiting.setWindowModality(Qt::WindowModal);
    waiting.setMinimumDuration(0);

    std::string url;
    std::atomic<bool> urlReady = false, done = false;
    std::exception_ptr failure;
    SignInPrompts prompts;
    prompts.showUrl = [&](const std::string& address) {
        url = address;
        urlReady = true;
    };
    std::thread flow([&] {
        try {
            SignIn(settings, false, prompts);
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
    });
    QEventLoop loop;
    QTimer tick;
    bool opened = false;
    connect(&tick, &QTimer::timeout, &loop, [&] {
        if (urlReady && !opened) {
            opened = true;
            waiting.setLabelText(toQ("ブラウザで次のアドレスを開いてサインインしてください:"_cp) +
                                 "\n" + QString::fromStdString(url));
            if (openUrl)
                openUrl(url);
            else
                QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
        }
        if (done) loop.quit();
    });
    tick.start(50);
    waiting.show();
    loop.exec();
    flow.join();
    waiting.close();
    showSignedIn();
    if (failure) std::rethrow_exception(failure);
    dialogs_.plainBox(this, "サインインしました: "_cp + settings.UserID);
}

}  // namespace korv
