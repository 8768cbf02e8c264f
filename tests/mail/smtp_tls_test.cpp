// Submission to a real SMTP server (aiosmtpd) with STARTTLS, implicit TLS and AUTH: the mail and
// the password go only where the options allow, and a certificate nobody trusts is an error.
#include <gtest/gtest.h>

#include "mail/smtp/smtp_mail.h"
#include "platform/codepage.h"
#include "support/named_rows.h"
#include "support/smtp_server.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

struct Row : NamedRow {
    SmtpServer::Options server;
    Security security;
    bool trusted;  // the server's certificate is in caFile
    std::string user, password;
    bool overTls;  // delivered over TLS (false: delivered in clear)
    bool delivered;
    std::vector<std::string> logins;  // what the server saw
    std::string reason;               // a piece of the error when not delivered
};

class SmtpSecurity : public testing::TestWithParam<Row> {};

TEST_P(SmtpSecurity, MailAndPasswordGoOnlyWhereTheOptionsAllow) {
    const Row& row = GetParam();
    SmtpServer server(row.server);
    OutgoingMail mail;
    mail.from = "korv@example.jp";
    mail.to = "friend@example.jp";
    mail.subject = "tls";
    mail.body = "hello\r\n";
    SmtpOptions options{row.security, row.trusted ? server.caFile() : "", row.user, row.password};
    std::string error;
    try {
        sendMail(server.address(), mail, options);
    } catch (const MailError& e) {
        error = cp932ToUtf8(e.what());
    }
    auto received = server.messages();
    EXPECT_EQ(received.size(), row.delivered ? 1u : 0u) << error;
    if (row.delivered && !received.empty()) {
        EXPECT_EQ(received[0].tls, row.overTls);
        EXPECT_EQ(received[0].user, row.user);
    } else {
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        EXPECT_NE(error.find(server.address()), std::string::npos) << error;
    }
    EXPECT_EQ(server.logins(), row.logins);
    if (!row.password.empty()) {
        EXPECT_EQ(error.find(row.password), std::string::npos) << error;
    }
}

const SmtpServer::Options kPlain{}, kStartTls{true, false, ""},
    kStartTlsLogin{true, false, "korv:pw-7Q"}, kLoginOnly{false, false, "korv:pw-7Q"},
    kImplicit{false, true, ""};

INSTANTIATE_TEST_SUITE_P(
    Rows, SmtpSecurity,
    testing::Values(
        Row{"StartTlsWhenOffered", kStartTls, Security::Auto, true, "", "", true, true, {}, ""},
        Row{"PlainWhenNotOffered", kPlain, Security::Auto, false, "", "", false, true, {}, ""},
        Row{"LoginAccepted",
            kStartTlsLogin,
            Security::Auto,
            true,
            "korv",
            "pw-7Q",
            true,
            true,
            {"ok korv"},
            ""},
        Row{"LoginRefused",
            kStartTlsLogin,
            Security::Auto,
            true,
            "korv",
            "wrong-9Z",
            true,
            false,
            {"refused korv"},
            "Login denied"},
        Row{"UntrustedCertificate",
            kStartTls,
            Security::Auto,
            false,
            "",
            "",
            true,
            false,
            {},
            "certificate"},
        Row{"RequiredButNotOffered",
            kPlain,
            Security::Required,
            true,
            "",
            "",
            true,
            false,
            {},
            "STARTTLS"},
        // A login needs TLS unless plain text was chosen: the password never goes in clear.
        Row{"LoginNeverInClear",
            kLoginOnly,
            Security::Auto,
            true,
            "korv",
            "pw-7Q",
            false,
            false,
            {},
            "STARTTLS"},
        Row{"ImplicitTls", kImplicit, Security::Implicit, true, "", "", true, true, {}, ""}),
    byName);

}  // namespace
