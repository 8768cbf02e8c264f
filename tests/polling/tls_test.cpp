// Polls against a real Dovecot that offers STLS (and one that insists on TLS for logins): the
// password travels only where the settings allow, and a certificate nobody trusts is an error.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/codepage.h"
#include "polling/poll.h"
#include "support/dovecot_server.h"
#include "support/fake_clock.h"
#include "support/named_rows.h"
#include "support/recording_sink.h"
#include "support/sample_mail.h"
#include "support/scripted_mailbox.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

struct Row : NamedRow {
    DovecotServer::Options server;
    std::string pop3Security;
    bool pop3sPort;               // the settings name the server's pop3s port
    bool trusted;                 // the server's CA is in CaFile
    std::string passwordCommand;  // "" : the password from the file
    PollOutcome outcome;
    bool throws;
    std::string serverLog;  // the server's login line holds this ("" : no login attempt at all)
    std::string reason;     // a piece of the reason, when the poll fails
};

class PollSecurity : public testing::TestWithParam<Row> {};

TEST_P(PollSecurity, ThePasswordGoesOnlyWhereTheSettingsAllow) {
    const Row& row = GetParam();
    DovecotServer server(row.server);
    server.addMessage(messageWithAttachments("one", "1#a"));
    TempDir home;
    std::string account = home.path() + "DefaultAccount/";
    RecordingSink sink;
    FakeClock clock;
    StatusLog status(sink, clock, account);
    status.BeginStatusLine();
    Settings settings;
    settings.Pop3Name =
        row.pop3sPort ? server.host() + ":" + std::to_string(server.pop3sPort()) : server.address();
    settings.UserID = server.user();
    settings.Password = row.passwordCommand.empty() ? server.password() : "";
    settings.PasswordCommand = row.passwordCommand;
    settings.Pop3Security = row.pop3Security;
    if (row.trusted) settings.CaFile = server.caFile();
    PollContext ctx{settings, account, status, clock};
    PollResult result;
    std::string error;
    try {
        result = PollMailbox(ctx);
    } catch (const std::exception& e) {
        error = e.what();
    }
    EXPECT_EQ(!error.empty(), row.throws) << error;
    if (!row.throws) {
        EXPECT_EQ(result.outcome, row.outcome) << result.reason;
    }
    std::string said = cp932ToUtf8(error + result.reason);
    for (const auto& line : sink.lines) said += "\n" + cp932ToUtf8(line);
    EXPECT_NE(said.find(row.reason), std::string::npos) << said;
    EXPECT_EQ(said.find(server.password()), std::string::npos) << said;

    // The login process writes its line when our connection is gone, a moment after the poll.
    std::string log;
    for (int wait = 0; wait < 100; ++wait) {
        log = server.log();
        std::size_t lines = 0;
        for (std::size_t at = 0; (at = log.find("pop3-login:", at)) != std::string::npos; ++at)
            ++lines;
        if (lines >= 2) break;  // the fixture's probe, then ours
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (row.serverLog.empty()) {
        EXPECT_EQ(log.find("user=<" + server.user() + ">"), std::string::npos) << log;
    } else {
        std::size_t login = log.find("user=<" + server.user() + ">");
        ASSERT_NE(login, std::string::npos) << log;
        std::size_t start = log.rfind('\n', login) + 1;  // npos + 1 is the file's start
        std::string line = log.substr(start, log.find('\n', login) - start);
        EXPECT_NE(line.find(row.serverLog), std::string::npos) << line;
    }
}

const DovecotServer::Options kStls{}, kTlsOnly{true, false}, kNoTls{false, true};
const std::string kPassword = "printf 'secret\\n'";

INSTANTIATE_TEST_SUITE_P(
    Rows, PollSecurity,
    testing::Values(
        // A settings file without the new keys upgrades when the server offers STLS.
        Row{"DefaultUpgrades", kTlsOnly, "", false, true, "", PollOutcome::Done, false, "TLS", "*"},
        Row{"PasswordFromACommand", kTlsOnly, "stls", false, true, kPassword, PollOutcome::Done,
            false, "TLS", "*"},
        Row{"ImplicitTls", kStls, "tls", true, true, "", PollOutcome::Done, false, "TLS", "*"},
        Row{"RequiredButNotOffered", kNoTls, "stls", false, true, "", PollOutcome::NotConnected,
            false, "", "STLS"},
        Row{"DefaultRefusesAServerWithoutTls", kNoTls, "", false, true, "",
            PollOutcome::NotConnected, false, "", "Pop3Security=none"},
        Row{"NoneSpeaksPlainText", kStls, "none", false, false, "", PollOutcome::Done, false,
            "secured", "*"},
        Row{"PlainTextRefusedByTheServer", kTlsOnly, "none", false, false, "",
            PollOutcome::LoginRefused, false, "auth failed", "Plaintext"},
        Row{"UntrustedCertificate", kStls, "", false, false, "", PollOutcome::NotConnected, false,
            "", "証明書を設定の CaFile"},
        Row{"FailingCommand", kTlsOnly, "", false, true, "printf nope >&2; exit 3",
            PollOutcome::Done, true, "", "終了コード 3"},
        Row{"UnknownSecurity", kStls, "maybe", false, true, "", PollOutcome::Done, true, "",
            "Pop3Security"}),
    byName);

// What a peer on the path does to keep the login in clear text. Unless the settings say `none`,
// the connection ends before the login (also APOP's), with the reason; with `none` the login
// goes in clear.
struct StripRow : NamedRow {
    std::map<std::string, std::string> replies;  // by command; the mailbox answers the others
    PollOutcome outcome;
    std::string reason;
};

class StlsStripped : public testing::TestWithParam<StripRow> {};

TEST_P(StlsStripped, TheLoginNeverGoesInClearUnlessTheSettingsSayNone) {
    const StripRow& row = GetParam();
    for (auto [security, apop] : {std::pair{"", false}, {"auto", true}, {"none", false}}) {
        SCOPED_TRACE(std::string("Pop3Security=") + security + (apop ? ", APOP" : ""));
        ScriptedMailbox box;
        ScriptedPeer peer("+OK ready <1.2@peer>\r\n", [&](const std::string& command) {
            auto it = row.replies.find(command);
            return it != row.replies.end()        ? it->second
                   : command.starts_with("APOP ") ? "+OK\r\n"
                                                  : box.answer(command);
        });
        peer.setTrickleMs(20);
        TempDir home;
        RecordingSink sink;
        FakeClock clock;
        StatusLog status(sink, clock, home.path());
        Settings settings;
        settings.Pop3Name = peer.address();
        settings.UserID = "u";
        settings.Password = "p";
        settings.ApopFlag = apop;
        settings.Pop3Security = security;
        PollContext ctx{settings, home.path(), status, clock};
        PollResult result = PollMailbox(ctx);
        std::string said = cp932ToUtf8(result.reason);
        int logins = 0;
        for (const auto& c : peer.commands())
            logins += c.starts_with("USER ") || c.starts_with("PASS ") || c.starts_with("APOP ");
        bool clear = std::string(security) == "none";
        EXPECT_EQ(logins, clear ? 2 : 0);
        EXPECT_EQ(result.outcome, clear ? PollOutcome::Done : row.outcome) << said;
        if (clear) continue;
        for (std::string piece : {row.reason, std::string("パスワードは送っていません"),
                                  std::string("Pop3Security=none")})
            EXPECT_NE(said.find(piece), std::string::npos) << said;
        EXPECT_NE(cp932ToUtf8(sink.lines.back()).find("接続失敗"), std::string::npos);
    }
}

const std::string kListsStls = "+OK\r\nUSER\r\nSTLS\r\n.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, StlsStripped,
    testing::Values(StripRow{{"StlsMissingFromCapa"},
                             {{"CAPA", "+OK\r\nUSER\r\nUIDL\r\n.\r\n"}},
                             PollOutcome::NotConnected,
                             "STLS に対応していません"},
                    StripRow{{"CapaRefused"},
                             {{"CAPA", "-ERR what?\r\n"}},
                             PollOutcome::NotConnected,
                             "CAPA を拒否されました"},
                    StripRow{{"StlsRefused"},
                             {{"CAPA", kListsStls}, {"STLS", "-ERR not now\r\n"}},
                             PollOutcome::NotConnected,
                             "STLS を拒否されました"},
                    // The client's hello is answered in plain text.
                    StripRow{{"HandshakeFails"},
                             {{"CAPA", kListsStls}, {"STLS", "+OK\r\nthis is no TLS\r\n<trickle>"}},
                             PollOutcome::NotConnected,
                             "TLS 接続に失敗しました"},
                    // A cut may heal by itself: a later poll tries again.
                    StripRow{{"HandshakeCut"},
                             {{"CAPA", kListsStls}, {"STLS", "+OK\r\n<drop>"}},
                             PollOutcome::Unreachable,
                             "TLS 接続の途中で切れました"}),
    byName);

}  // namespace
