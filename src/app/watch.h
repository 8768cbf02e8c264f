#pragma once
// Polls without a window at the settings' interval until SIGTERM or SIGINT, which end it after
// the message in progress, or at once when the server keeps it waiting (a second one ends it at
// once; the next poll finishes or undoes what it left).
#include <ostream>
#include <string>

#include "app/poll_once.h"

namespace korv {

inline constexpr int kDefaultIntervalSeconds = 30;  // the window's
inline constexpr int kShortestIntervalSeconds = 10;

struct WatchOptions {
    bool quiet = false;
    bool verbose = false;  // says when the next poll comes
};

// Returns 0 once stopped by a signal, kExitConfig at once when a pass meets a settings error;
// the outcome of each pass is on `out` and `err` only.
int RunWatch(const std::string& programFolder, const HandOffFactory& makeHandOff, std::ostream& out,
             std::ostream& err, const WatchOptions& options);

}  // namespace korv
