#include "polling/poll.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "mail/maillib.h"
#include "mail/read_ahead.h"
#include "platform/codepage.h"
#include "platform/whole_file.h"
#include "polling/uidl_ledger.h"

namespace korv {
namespace {

constexpr std::size_t kMessagesAskedAhead = 4;

struct CloseOnExit {
    int handle;
    ~CloseOnExit() { mail::MailLibPop3Close(handle); }
};

}  // namespace

void PollMailbox(PollContext& ctx) {
    using namespace mail;
    int handle = MailLibPop3Connect(ctx.settings.Pop3Name.c_str());
    if (handle == -1) {
        ctx.status.BeginStatusLine();
        ctx.status.AppendStatus("接続失敗"_cp);
        ctx.status.WriteStatusToLog();
        return;
    }
    CloseOnExit closer{handle};
    int count =
        MailLibPop3Authenticate(handle, ctx.settings.UserID.c_str(), ctx.settings.Password.c_str(),
                                ctx.settings.ApopFlag ? -1 : 0);
    ctx.status.AppendStatus("*");
    if (count < 0) {
        std::vector<char> error(kMailBufferBytes);
        MailLibGetMessage(0, error.data(), kMailTextSize);
        ctx.status.BeginStatusLine();
        ctx.status.AppendStatus("ログイン失敗"_cp + error.data());
        ctx.status.WriteStatusToLog();
    } else {
        FetchNewMessages(ctx, handle, count);
    }
}

void FetchNewMessages(PollContext& ctx, int handle, int count) {
    using namespace mail;
    if (count == 0) return;
    const std::string ledgerPath = ctx.accountFolder + "UIDL.txt";
    UidlLedger ledger = UidlLedger::load(ledgerPath);
    std::unordered_set<std::string> onServer;
    // The new messages are known before the first is fetched (one UIDL listing), so each can be
    // asked for while the one before is still being archived.
    std::vector<std::pair<int, std::string>> fresh;
    std::vector<char> uidl(kMailBufferBytes);
    for (int i = 1; i <= count; ++i) {
        uidl[0] = '\0';
        // A message without an id cannot be told apart from the next one: leave it on the server.
        if (MailLibPop3GetUidl(handle, i, uidl.data(), kMailTextSize) < 0 || uidl[0] == '\0')
            continue;
        std::string id = uidl.data();
        // A second message with the same id counts as fetched with the first.
        if (onServer.insert(UidlLedger::key(id)).second && !ledger.contains(id))
            fresh.emplace_back(i, id);
    }
    int fetched = 0;
    std::size_t asked = 0;  // fresh[0, asked) have been asked for ahead
    for (std::size_t k = 0; k < fresh.size(); ++k) {
        const auto& [number, id] = fresh[k];
        // The next message is always on its way while this one is archived; a few are asked
        // for at a time, since every request wakes the server.
        if (asked < std::min(k + 2, fresh.size())) {
            std::vector<int> numbers;
            for (; asked < std::min(k + 1 + kMessagesAskedAhead, fresh.size()); ++asked)
                numbers.push_back(fresh[asked].first);
            Pop3ReadAhead(handle, numbers);
        }
        ArchiveMessage(ctx, handle, number);
        ledger.add(id);
        // Recorded at once, so that neither an error nor a killed process later in the pass
        // makes this message be archived again or lost. The first save also gives the file its
        // last line end, so that later ids can simply be appended.
        if (fetched++ == 0)
            ledger.save(ledgerPath);
        else
            AppendStringToFile(id + "\r\n", ledgerPath);
    }
    if (fetched > 0) {
        ctx.status.BeginStatusLine();
        ctx.status.AppendStatus(std::to_string(fetched) + "件取得"_cp);
        ctx.status.WriteStatusToLog();
        ctx.status.BeginStatusLine();
    }
    ledger.trim(onServer);
    ledger.save(ledgerPath);
}

}  // namespace korv
