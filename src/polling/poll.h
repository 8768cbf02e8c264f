#pragma once
// One visit to the POP3 mailbox: connect, log in, archive every message whose unique id is not
// in the ledger yet, record the new ids, close.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "activity/status_log.h"
#include "gallery/gallery_hand_off.h"
#include "platform/clock.h"
#include "settings/settings.h"

namespace korv {

class Incoming;
class UidlLedger;
struct BuiltMessage;
namespace mail {
class Pop3Mailbox;
}

// When the server welcomes the next login (its LOGIN-DELAY), kept in memory by whoever polls
// again and again (the window's timer, --watch): the pause is the server's rule for this
// connection's user, and the server enforces it anyway, so a file that outlives the process would
// only add state to go stale (a changed server, a clock set back).
struct LoginPacing {
    std::int64_t notBefore = 0;  // seconds since the epoch; 0: any time
    // Seconds until then; 0 when a login is welcome now.
    int secondsLeft(Clock& clock) const;
};

struct PollContext {
    const Settings& settings;
    std::string accountFolder;  // ends with a delimiter: UIDL.txt and the day folders
    StatusLog& status;
    Clock& clock;
    HandOff* handOff = nullptr;
    // Where the last message of this pass went: the next one's search for a free folder starts
    // after it instead of at 00000, which gives the same folder (everything below was taken) but
    // keeps a pass of n messages from testing n*n/2 folder names.
    std::string lastDayFolder = {};
    int nextFolderNumber = 0;
    // When set and true, the pass ends after the message in progress (a service being stopped);
    // the messages not reached stay new for the next poll.
    const std::atomic<bool>* stopRequested = nullptr;
    // Set from the server's LOGIN-DELAY at every login attempt when given.
    LoginPacing* pacing = nullptr;
};

enum class PollOutcome {
    Done,          // the pass went through (messages held back for the next poll included)
    Busy,          // another poll of this home was running; nothing was touched
    Unreachable,   // no connection, or it broke while logging in
    LoginRefused,  // the server refused the login
    // No connection for a reason no later poll cures by itself: the server offers no TLS, the
    // handshake failed, its certificate was refused. Nothing of the login was sent.
    NotConnected,
    TryLater,     // the server refused the login for now ([LOGIN-DELAY], [IN-USE], [SYS/TEMP])
    ServerFault,  // the server refused the login for a permanent fault of its own ([SYS/PERM])
};

struct FetchCounts {
    int archived = 0;
    int held = 0;
};

struct PollResult {
    PollOutcome outcome = PollOutcome::Done;
    // When the outcome is not Done, the failure as its status line says it: "接続失敗" or
    // "ログイン失敗", a blank and the library's reason (or the busy text).
    std::string reason;
    FetchCounts counts = {};
};

// Every poll ends with its connection closed, also when an error ends it early; only one poll
// of an account folder runs at a time. An error that ends a pass (a mail::MailError of kind
// Broken for a connection that broke, a file the archive cannot write) is logged and thrown on;
// settings it cannot connect with throw SettingsError after "接続失敗".
PollResult PollMailbox(PollContext& ctx);
FetchCounts FetchNewMessages(PollContext& ctx, mail::Pop3Mailbox& mailbox);

enum class ArchiveResult { Archived, Held };
// Finishes a message built in ".incoming" (hand-off, its number, its id), or holds it back for
// the next poll (the server refused it, it could not be stored, or its hand-off failed) with the
// reason on its status line and in the log, leaving nothing behind. Throws what ends the pass.
ArchiveResult ArchiveMessage(PollContext& ctx, Incoming& incoming, UidlLedger& ledger,
                             BuiltMessage& built);
// First base/prefix+number (zero-padded to width) that is not an existing folder, counting up
// from startNumber; startNumber ends one past the number used.
std::string NextFreeFolder(const std::string& base, const std::string& prefix, int width,
                           int& startNumber);

}  // namespace korv
