#pragma once
// One poll without a window, for servers and cron: the same settings, ledger, archive, gallery
// hand-off and log as the window's polls.
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "polling/poll.h"

namespace korv {

// Builds the hand-off for a run from its settings, status line, clock and the resolved default
// picture (empty when there is none).
using HandOffFactory = std::function<std::unique_ptr<HandOff>(
    const Settings& settings, StatusLog& status, Clock& clock, const std::string& defaultImg)>;

// Exit codes of a window-less poll (sysexits): each says who must act.
inline constexpr int kExitDone = 0;
inline constexpr int kExitError = 1;  // also a refused certificate or a server without TLS
// Only what a later poll may cure by itself: unreachable, timed out, broken off, another poll
// running.
inline constexpr int kExitTemporary = 75;
inline constexpr int kExitLoginRefused = 77;
// The settings: none yet, or one the program cannot work with (SettingsError).
inline constexpr int kExitConfig = 78;

struct PassOptions {
    // The pass's status lines only when it archived or held back a message or failed; they
    // then come when it ends.
    bool quiet = false;
    // See PollContext::stopRequested.
    const std::atomic<bool>* stopRequested = nullptr;
    // See PollContext::pacing.
    LoginPacing* pacing = nullptr;
};

// programFolder ends with a delimiter and holds korvanto.ini. Status lines go to `out` as they
// are finished, the reason of a failure to `err` (both UTF-8). The mail library is started and
// cleaned up by the caller, once per process.
int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err, const PassOptions& options = {});
int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err, Clock& clock,
                const PassOptions& options = {});

}  // namespace korv
