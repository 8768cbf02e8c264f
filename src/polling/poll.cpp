#include "polling/poll.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

#include "mail/mail_error.h"
#include "mail/maillib.h"
#include "mail/read_ahead.h"
#include "mail/security.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "polling/incoming.h"
#include "polling/poll_lock.h"
#include "polling/uidl_ledger.h"
#include "settings/oauth_tokens.h"

namespace korv {
namespace {

using namespace mail;

constexpr std::size_t kMessagesAskedAhead = 4;

struct CloseOnExit {
    int handle;
    ~CloseOnExit() { MailLibPop3Close(handle); }
};

std::string libraryError() {
    std::vector<char> text(kMailBufferBytes);
    MailLibGetMessage(0, text.data(), kMailTextSize);
    return text.data();
}

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

    ConnectOptions options;
    bool oauth = false;
    try {
        options = connectOptions(ctx.settings.Pop3Security, ctx.settings.CaFile, "Pop3Security");
        oauth = usesOAuth2(ctx.settings.OAuth.Pop3Auth, "Pop3Auth");
        if (oauth && options.security == Security::None)
            throw SettingsError(
                "Pop3Auth=oauth2 は Pop3Security=none と使えません (トークンは TLS でのみ送ります)"_cp);
    } catch (const std::exception& e) {
        logLine(ctx.status, withReason("接続失敗"_cp, e.what()));
        throw SettingsError(e.what());
    }
    // Asked for at every poll: a password manager may change it, and it never sits in memory
    // longer than a poll.
    const std::string password = oauth ? std::string() : Pop3Password(ctx.settings);
    // The token is renewed before the server is contacted: no connection waits on the provider.
    if (auto failed = oauthGuard(ctx.status, [&] {
            if (oauth) OAuthAccessToken(ctx.settings);
        }))
        return *failed;
    int failure = 0;
    int handle = Pop3Connect(ctx.settings.Pop3Name.c_str(), options, &failure);
    if (handle == -1) {
        std::string why = libraryError();
        std::string reason = withReason("接続失敗"_cp, why);
        logLine(ctx.status, reason);
        if (failure == kMailLibSettings) throw SettingsError(why);
        return {failure == kMailLibBroken ? PollOutcome::Unreachable : PollOutcome::NotConnected,
                reason};
    }
    CloseOnExit closer{handle};
    const std::int64_t loginAt = toEpochSeconds(ctx.clock.now());
    int count = 0;
    if (auto failed = oauthGuard(ctx.status, [&] {
            count = oauth
                        ? LoginWithOAuthToken(
                              ctx.settings,
                              [&](const std::string& token) {
                                  return Pop3AuthenticateBearer(handle, ctx.settings.UserID.c_str(),
                                                                token.c_str());
                              },
                              kMailLibRefused)
                        : MailLibPop3Authenticate(handle, ctx.settings.UserID.c_str(),
                                                  password.c_str(), ctx.settings.ApopFlag ? -1 : 0);
        }))
        return *failed;
    if (ctx.pacing) {
        int delay = Pop3LoginDelay(handle);
        ctx.pacing->notBefore = delay > 0 ? loginAt + delay : 0;
    }
    ctx.status.AppendStatus("*");
    if (count < 0) {
        std::string why = libraryError();
        if (count == kMailLibTryLater) {
            std::string reason = withReason("ログイン一時拒否"_cp, why);
            logLine(ctx.status, reason);
            return {PollOutcome::TryLater, reason};
        }
        std::string reason = withReason("ログイン失敗"_cp, why);
        logLine(ctx.status, reason);
        PollOutcome outcome = count == kMailLibBroken        ? PollOutcome::Unreachable
                              : count == kMailLibServerFault ? PollOutcome::ServerFault
                                                             : PollOutcome::LoginRefused;
        return {outcome, reason};
    }
    PollResult result;
    try {
        result.counts = FetchNewMessages(ctx, handle, count);
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

FetchCounts FetchNewMessages(PollContext& ctx, int handle, int count) {
    if (count == 0) return {};
    const std::string ledgerPath = ctx.accountFolder + "UIDL.txt";
    UidlLedger ledger = UidlLedger::load(ledgerPath);
    std::unordered_set<std::string> onServer;
    // The new messages are known before the first is fetched (one UIDL listing), so each can be
    // asked for while the one before is still being archived.
    std::vector<std::pair<int, std::string>> fresh;
    std::vector<char> uidl(kMailBufferBytes);
    for (int i = 1; i <= count; ++i) {
        uidl[0] = '\0';
        int r = MailLibPop3GetUidl(handle, i, uidl.data(), kMailTextSize);
        // The count is the server's word; the listing is what it has.
        if (r == kMailLibListEnd) break;
        if (r == kMailLibBroken) throw ConnectionLost(libraryError());
        // Without ids no message can be told from the next: nothing can be fetched safely.
        if (r == kMailLibRefused) throw std::runtime_error(libraryError());
        // A message without an id cannot be told apart from the next one: leave it on the server.
        if (r != 0 || uidl[0] == '\0') continue;
        std::string id = uidl.data();
        std::string legacy = UidlLedger::legacyForm(id);
        if (!legacy.empty()) onServer.insert(legacy);
        // A second message with the same id counts as fetched with the first.
        if (onServer.insert(id).second && !ledger.contains(id)) fresh.emplace_back(i, id);
    }
    int fetched = 0, held = 0;
    if (!fresh.empty()) {
        Incoming incoming(ctx.accountFolder);
        std::size_t asked = 0;  // fresh[0, asked) have been asked for ahead
        for (std::size_t k = 0; k < fresh.size(); ++k) {
            if (ctx.stopRequested && ctx.stopRequested->load()) break;
            const auto& [number, id] = fresh[k];
            // The next message is always on its way while this one is archived; a few are
            // asked for at a time, since every request wakes the server.
            if (asked < std::min(k + 2, fresh.size())) {
                std::vector<int> numbers;
                for (; asked < std::min(k + 1 + kMessagesAskedAhead, fresh.size()); ++asked)
                    numbers.push_back(fresh[asked].first);
                Pop3ReadAhead(handle, numbers);
            }
            if (ArchiveMessage(ctx, incoming, ledger, handle, number, id) ==
                ArchiveResult::Archived)
                ++fetched;
            else
                ++held;
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
