#include "polling/poll.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "mail/pop3/pop3_mailbox.h"
#include "mail/security.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "polling/incoming.h"
#include "polling/message_builder.h"
#include "polling/poll_lock.h"
#include "polling/uidl_ledger.h"
#include "settings/oauth_tokens.h"

namespace korv {
namespace {

using namespace mail;

// The word the user knows first, then why, so that the log and the window say what to fix.
std::string withReason(const std::string& word, const std::string& why) {
    return why.empty() ? word : word + " " + why;
}

void logLine(StatusLog& status, const std::string& text) {
    status.BeginStatusLine();
    status.AppendStatus(text);
    status.WriteStatusToLog();
}

// Runs f; an OAuth2 failure in it is the pass's outcome: a refused grant a refused login, a
// provider out of reach a temporary failure.
template <typename F>
std::optional<PollResult> oauthGuard(StatusLog& status, F&& f) {
    try {
        f();
        return std::nullopt;
    } catch (const OAuthRefused& e) {
        logLine(status, withReason("ログイン失敗"_cp, e.what()));
        return PollResult{PollOutcome::LoginRefused, withReason("ログイン失敗"_cp, e.what())};
    } catch (const OAuthUnreachable& e) {
        logLine(status, withReason("ログイン失敗"_cp, e.what()));
        return PollResult{PollOutcome::Unreachable, withReason("ログイン失敗"_cp, e.what())};
    }
}

// Who signs in and with what; a token is renewed once when the server refuses it.
Credentials credentialsOf(const Settings& st) {
    using Method = Credentials::Method;
    if (usesOAuth2(st.OAuth.Pop3Auth, "Pop3Auth"))
        return {Method::Bearer, st.UserID, OAuthAccessToken(st),
                [&st] { return OAuthAccessToken(st, true); }};
    return {st.ApopFlag ? Method::Apop : Method::Password, st.UserID, Pop3Password(st)};
}

}  // namespace

int LoginPacing::secondsLeft(Clock& clock) const {
    std::int64_t left = notBefore - toEpochSeconds(clock.now());
    return left > 0 ? static_cast<int>(std::min<std::int64_t>(left, 86400)) : 0;
}

PollResult PollMailbox(PollContext& ctx) {
    ensureFolders(ctx.accountFolder);
    auto lock = PollLock::tryTake(ctx.accountFolder);
    if (!lock) {
        const std::string busy = "他のポーリングが実行中"_cp;
        ctx.status.BeginStatusLine();
        ctx.status.AppendStatus(busy);
        return {PollOutcome::Busy, busy};
    }
    RecoverInterruptedPass(ctx.accountFolder, ctx.status, ctx.handOff);

    const Settings& st = ctx.settings;
    Pop3Account account;
    try {
        account.server = st.Pop3Name;
        account.options = connectOptions(st.Pop3Security, st.CaFile, "Pop3Security");
        if (usesOAuth2(st.OAuth.Pop3Auth, "Pop3Auth") && account.options.security == Security::None)
            throw SettingsError(
                "Pop3Auth=oauth2 は Pop3Security=none と使えません (トークンは TLS でのみ送ります)"_cp);
    } catch (const std::exception& e) {
        logLine(ctx.status, withReason("接続失敗"_cp, e.what()));
        throw SettingsError(e.what());
    }
    // Asked for at every poll: a password manager may change it, and it never sits in memory
    // longer than a poll. A token is renewed before the server is contacted: no connection
    // waits on the provider.
    if (auto refused = oauthGuard(ctx.status, [&] { account.credentials = credentialsOf(st); }))
        return *refused;
    OpenProgress progress;
    const std::int64_t loginAt = toEpochSeconds(ctx.clock.now());
    std::unique_ptr<Pop3Mailbox> mailbox;
    std::optional<MailError> failed;
    if (auto refused = oauthGuard(ctx.status, [&] {
            try {
                mailbox = Pop3Mailbox::open(account, &progress);
            } catch (const MailError& e) {
                failed = e;
            }
        }))
        return *refused;
    if (progress.connected) {
        if (ctx.pacing)
            ctx.pacing->notBefore = progress.loginDelay > 0 ? loginAt + progress.loginDelay : 0;
        ctx.status.AppendStatus("*");
    }
    if (failed) {
        using K = MailError::Kind;
        const K kind = failed->kind();
        const char* word = !progress.connected     ? "接続失敗"
                           : kind == K::LoginLater ? "ログイン一時拒否"
                                                   : "ログイン失敗";
        std::string reason = withReason(utf8ToCp932(word), failed->what());
        logLine(ctx.status, reason);
        if (!progress.connected && kind == K::Settings) throw SettingsError(failed->what());
        PollOutcome outcome = !progress.connected ? (kind == K::Broken ? PollOutcome::Unreachable
                                                                       : PollOutcome::NotConnected)
                              : kind == K::LoginLater       ? PollOutcome::TryLater
                              : kind == K::Broken           ? PollOutcome::Unreachable
                              : kind == K::LoginServerFault ? PollOutcome::ServerFault
                                                            : PollOutcome::LoginRefused;
        return {outcome, reason};
    }
    PollResult result;
    try {
        result.counts = FetchNewMessages(ctx, *mailbox);
    } catch (const std::exception& e) {
        // The log says why the pass ended; the error itself goes on to the box or stderr.
        try {
            logLine(ctx.status, "中断 "_cp + e.what());
        } catch (...) {  // the log may be what failed
        }
        throw;
    }
    return result;
}

FetchCounts FetchNewMessages(PollContext& ctx, Pop3Mailbox& mailbox) {
    if (mailbox.count() == 0) return {};
    const std::string ledgerPath = ctx.accountFolder + kLedgerName;
    UidlLedger ledger = UidlLedger::load(ledgerPath);
    std::unordered_set<std::string> onServer;
    // The new messages are known before the first is fetched (one UIDL listing), so the next
    // ones are received and decoded while the one before is still being archived.
    std::vector<std::pair<int, std::string>> fresh;
    for (auto& [number, id] : mailbox.ids()) {
        std::string legacy = UidlLedger::legacyForm(id);
        if (!legacy.empty()) onServer.insert(legacy);
        // A second message with the same id counts as fetched with the first.
        if (onServer.insert(id).second && !ledger.contains(id)) fresh.emplace_back(number, id);
    }
    int fetched = 0, held = 0;
    if (!fresh.empty()) {
        Incoming incoming(ctx.accountFolder);
        {
            MessageBuilder builder(incoming, mailbox, std::move(fresh));
            while (!(ctx.stopRequested && ctx.stopRequested->load())) {
                std::optional<BuiltMessage> built = builder.next();
                if (!built) break;
                if (ArchiveMessage(ctx, incoming, ledger, *built) == ArchiveResult::Archived)
                    ++fetched;
                else
                    ++held;
            }
        }
        incoming.finish();
    }
    if (fetched > 0 || held > 0) {
        std::string line = std::to_string(fetched) + "件取得"_cp;
        if (held > 0) line.append(" ").append(std::to_string(held)).append("件保留"_cp);
        logLine(ctx.status, line);
        ctx.status.BeginStatusLine();
    }
    ledger.trim(onServer);
    ledger.save(ledgerPath);
    return {fetched, held};
}

}  // namespace korv
