// The window's sign-in against the local authorization server: the address goes to the browser,
// and the status bar says who is signed in.
#include <gtest/gtest.h>

#include <QLabel>
#include <cstdlib>
#include <thread>

#include "support/oauth_server.h"
#include "window_fixture.h"

namespace korv::test {
namespace {

TEST(WindowSignIn, TheMenuSignsInAndTheStatusBarShowsWho) {
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvanto-test", 1);
    OAuthServer auth{"korv"};
    WindowFixture w;
    w.start(iniWith("127.0.0.1:1") + auth.settingsText());
    ASSERT_NE(w.form->SignInLabel, nullptr);
    EXPECT_EQ(fromQ(w.form->SignInLabel->text()), "サインインしていません"_cp);

    std::thread browser;
    w.form->openUrl = [&](const std::string& url) {
        browser = std::thread([url] {
            HttpResult provider = httpGet(url);
            httpGet(provider.location);
        });
    };
    w.form->runHandler(&TForm1::mSignInClick);
    if (browser.joinable()) browser.join();
    ASSERT_EQ(w.dialogs.shown.size(), 1u);
    EXPECT_EQ(w.dialogs.shown[0].text, "サインインしました: korv"_cp);
    EXPECT_EQ(fromQ(w.form->SignInLabel->text()), "サインイン: korv"_cp);
}

}  // namespace
}  // namespace korv::test
