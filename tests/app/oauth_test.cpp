// OAuth2 from sign-in to poll and send, against a local authorization server, a Dovecot that asks
// it about every token and the SMTP sink: the program's own flows and its window-less poll.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "app/poll_once.h"
#include "client/compose.h"
#include "mail/maillib.h"
#include "platform/codepage.h"
#include "settings/oauth_tokens.h"
#include "support/dovecot_server.h"
#include "support/oauth_server.h"
#include "support/process.h"
#include "support/programs.h"
#include "support/smtp_server.h"
#include "support/temp_dir.h"

namespace korv::test {
namespace {

// What a browser does with the address it was given: by default it follows the provider's
// redirect to the program; a row may change the redirect on its way.
using Browser = std::function<void(OAuthServer& auth, const std::string& url)>;

std::string message(const std::string& subject) {
    return "From: friend@example.jp\r\nSubject: " + subject + "\r\nMessage-ID: <" + subject +
           "@example.jp>\r\n\r\n" + subject + "\r\n";
}

void followRedirect(OAuthServer&, const std::string& url) {
    HttpResult provider = httpGet(url);
    ASSERT_EQ(provider.status, 302) << provider.body;
    EXPECT_EQ(httpGet(provider.location).status, 200);
}

class OAuthTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { mail::MailLibStartup(); }
    void SetUp() override {
        // No desktop secret store answers: the token goes to the home's file.
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvanto-test", 1);
        writeBytes(iniPath(), pop.settingsText(auth.settingsText() + "SmtpName=" + smtp.address() +
                                               "\r\nMailAddress=korv@example.jp\r\n"));
    }
    std::string iniPath() const { return dir.file("korvanto.ini"); }
    Settings settings() const { return LoadSettings(iniPath()); }

    // Signs in as a browser would; the browser runs beside the sign-in, which waits for it.
    std::string signIn(const Browser& browser = followRedirect, int timeoutMs = 20000) {
        std::thread opened;
        SignInPrompts prompts;
        prompts.timeoutMs = timeoutMs;
        prompts.showUrl = [&](const std::string& url) {
            opened = std::thread([&, url] { browser(auth, url); });
        };
        std::string where;
        try {
            where = SignIn(settings(), false, prompts);
        } catch (...) {
            if (opened.joinable()) opened.join();
            throw;
        }
        opened.join();
        return where;
    }
    std::string storedRefreshToken() const {
        auto j = nlohmann::json::parse(readBytes(dir.file(kTokenFileName)));
        return j.at("refresh_token").get<std::string>();
    }
    int poll(std::string& err) {
        std::ostringstream out, errors;
        int code = RunPollOnce(dir.path(), nullptr, out, errors);
        err = errors.str();
        return code;
    }

    OAuthServer auth{"korv"};
    DovecotServer pop{{.oauth2 = auth.url("/introspect")}};
    SmtpServer smtp{
        {.starttls = true, .implicitTls = false, .login = "", .oauth = auth.url("/introspect")}};
    TempDir dir;
};

TEST_F(OAuthTest, SignInPollRefreshOnceRevokeAndSend) {
    auth.setLifetime(4);
    EXPECT_EQ(signIn(), dir.file(kTokenFileName));
    struct stat st {};
    ASSERT_EQ(stat(dir.file(kTokenFileName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readBytes(iniPath()).find(storedRefreshToken()), std::string::npos);

    std::string err;
    pop.addMessage(message("first"));
    ASSERT_EQ(poll(err), kExitDone) << err;
    EXPECT_EQ(auth.issued("refresh"), 0) << "a fresh token is used as it is";
    EXPECT_NE(pop.log().find("method=OAUTHBEARER"), std::string::npos) << pop.log();

    std::this_thread::sleep_for(std::chrono::milliseconds(4300));
    pop.addMessage(message("second"));
    ASSERT_EQ(poll(err), kExitDone) << err;
    EXPECT_EQ(auth.issued("refresh"), 1);
    EXPECT_EQ(pop.messageCount(), 2);

    auth.setLifetime(3600);
    auth.revoke(storedRefreshToken());
    EXPECT_EQ(poll(err), kExitLoginRefused);
    EXPECT_NE(err.find("--sign-in"), std::string::npos) << err;
    EXPECT_EQ(err.find(storedRefreshToken()), std::string::npos) << err;

    // Signed in again, on a machine without a browser.
    SignInPrompts device;
    device.showCode = [&](const std::string&, const std::string& code) {
        auth.approveDevice(code);
    };
    SignIn(settings(), true, device);
    EXPECT_EQ(auth.issued("device"), 1);
    mail::OutgoingMail outgoing;
    outgoing.to = "friend@example.com";
    outgoing.subject = "token";
    outgoing.body = "sent with a token\r\n";
    setenv("KORVANTO_CA_FILE", smtp.caFile().c_str(), 1);  // the sink's own certificate
    EXPECT_EQ(SendComposed(settings(), outgoing), "");
    unsetenv("KORVANTO_CA_FILE");
    auto sent = smtp.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].user, pop.user());
    EXPECT_TRUE(sent[0].tls);
    EXPECT_EQ(smtp.logins(), std::vector<std::string>{"ok " + pop.user()});
}

// The program itself: `korvanto --sign-in` prints the address, a later `--poll-once` finds the
// refresh token in the home.
TEST(OAuthXoauth2, TheProgramSignsInAndPollsAServerWithoutOauthbearer) {
    OAuthServer auth{"korv"};
    DovecotServer pop{{.oauth2 = auth.url("/introspect"), .oauth2Mechanisms = "xoauth2"}};
    TempDir dir;
    writeBytes(dir.file("korvanto.ini"), pop.settingsText(auth.settingsText()));
    const std::vector<std::string> env{"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/korvanto",
                                       "DISPLAY=", "WAYLAND_DISPLAY="};
    Process signIn({builtProgram("korvanto"), "--sign-in", "--home", dir.path()}, env);
    ASSERT_TRUE(signIn.waitFor("/authorize?", 20000)) << signIn.out() << signIn.err();
    std::size_t at = signIn.out().find("http://");
    followRedirect(auth, signIn.out().substr(at, signIn.out().find('\n', at) - at));
    ProcessResult signedIn = signIn.finish(20000);
    EXPECT_EQ(signedIn.exitCode, 0) << signedIn.err;

    pop.addMessage(message("one"));
    ProcessResult poll =
        runProcess({builtProgram("korvanto"), "--poll-once", "--home", dir.path()}, env);
    EXPECT_EQ(poll.exitCode, kExitDone) << poll.err;
    EXPECT_NE(pop.log().find("method=XOAUTH2"), std::string::npos) << pop.log();
}

// A redirect that is not the provider's answer to this sign-in never gives a token.
struct RefusedRedirect {
    const char* name;
    Browser browser;
};

std::string withState(const std::string& location, const std::string& state) {
    return location.substr(0, location.find("&state=")) + "&state=" + state;
}

class OAuthRefusals : public OAuthTest, public testing::WithParamInterface<RefusedRedirect> {};

TEST_P(OAuthRefusals, NoTokenIsIssuedOrKept) {
    EXPECT_ANY_THROW(signIn(GetParam().browser, 3000));
    EXPECT_EQ(auth.issued("code"), 0);
    EXPECT_FALSE(SignedInUser(settings()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OAuthRefusals,
    testing::Values(
        RefusedRedirect{"WrongState",
                        [](OAuthServer&, const std::string& url) {
                            auto provider = httpGet(url);
                            EXPECT_EQ(httpGet(withState(provider.location, "forged")).status, 400);
                        }},
        // Whoever catches the code cannot use it without the verifier the program keeps.
        RefusedRedirect{"CodeWithoutVerifier",
                        [](OAuthServer& auth, const std::string& url) {
                            auto provider = httpGet(url);
                            std::string code =
                                provider.location.substr(provider.location.find("code=") + 5);
                            code = code.substr(0, code.find('&'));
                            std::string redirect =
                                provider.location.substr(0, provider.location.find('?'));
                            EXPECT_ANY_THROW(httpPost(auth.url("/token"),
                                                      "grant_type=authorization_code&code=" + code +
                                                          "&client_id=korvanto-test" +
                                                          "&redirect_uri=" + redirect));
                        }},
        RefusedRedirect{"FromAnotherAddress",
                        [](OAuthServer&, const std::string& url) {
                            auto provider = httpGet(url);
                            EXPECT_EQ(httpGet(provider.location, "evil.example:80").status, 400);
                        }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korv::test

namespace korv::test {
namespace {

// A token server that cannot be reached is a temporary failure: the next poll may get through.
TEST(OAuthUnreachable, APollWhoseTokenServerIsDownEndsWith75) {
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvanto-test", 1);
    mail::MailLibStartup();
    TempDir dir;
    writeBytes(dir.file("korvanto.ini"),
               "[KORVANTO2]\r\nPop3Name=127.0.0.1:1\r\nUserID=korv\r\nPop3Auth=oauth2\r\n"
               "OAuthProvider=custom\r\nOAuthClientId=c\r\nOAuthTokenUrl=http://127.0.0.1:1/t\r\n");
    writeBytes(dir.file(kTokenFileName),
               R"({"user":"korv","provider":"custom","refresh_token":"r"})");
    std::ostringstream out, err;
    EXPECT_EQ(RunPollOnce(dir.path(), nullptr, out, err), kExitTemporary) << err.str();
    EXPECT_NE(err.str().find("127.0.0.1:1/t"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace korv::test
