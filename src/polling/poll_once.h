#pragma once
// One poll without a window, for servers and cron: the same settings, ledger, archive, gallery
// hand-off and log as the window's polls.
#include <functional>
#include <ostream>
#include <string>

#include "polling/poll.h"

namespace korv {

// Builds the hand-off for a run from its settings, status line, clock and the resolved default
// picture (empty when there is none).
using HandOffFactory = std::function<HandOff(const Settings& settings, StatusLog& status,
                                             Clock& clock, const std::string& defaultImg)>;

// programFolder ends with a delimiter and holds korvanto.ini. Status lines go to `out` as they
// are finished, an error's text to `err` (both UTF-8). Returns 0, or 1 after an error.
int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err);
int RunPollOnce(const std::string& programFolder, const HandOffFactory& makeHandOff,
                std::ostream& out, std::ostream& err, Clock& clock);

}  // namespace korv
