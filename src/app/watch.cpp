#include "app/watch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/text.h"

namespace korv {
namespace {

int wakePipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
    stopRequested().store(true);
    // Wakes the wait between passes; the pipe never fills, one byte is enough.
    if (wakePipe[1] >= 0) {
        ssize_t ignored = ::write(wakePipe[1], "x", 1);
        (void)ignored;
    }
}

void catchStopSignals() {
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    // File calls go on where they were; network waits look at the flag (see stopRequested). A
    // second signal ends the program at once.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

// Waits the given time or until a stop signal comes.
void waitForNextPass(int seconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!stopRequested().load()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return;
        pollfd p{wakePipe[0], POLLIN, 0};
        // Without the pipe the flag is still looked at every second.
        int wait = wakePipe[0] >= 0 ? static_cast<int>(left.count())
                                    : static_cast<int>(std::min<long long>(left.count(), 1000));
        ::poll(&p, wakePipe[0] >= 0 ? 1 : 0, wait);
    }
}

// The interval from the settings; a wrong one is said once per distinct text.
int intervalOf(const std::string& folder, std::ostream& err, std::string& lastSaid) {
    std::string text;
    try {
        text = LoadSettings(folder + "korvanto.ini").Interval;
    } catch (const std::exception&) {
        // The pass has said why the settings cannot be read.
        return kDefaultIntervalSeconds;
    }
    int seconds = kDefaultIntervalSeconds;
    std::string note;
    if (!text.empty()) {
        // Read as the window's interval field reads it.
        std::optional<int> v;
        try {
            v = parseInteger(text);
        } catch (const ConversionError&) {
        }
        if (!v || *v > 86400 * 7) {
            note = "Interval=" + text + " は使えません: "_cp + std::to_string(seconds) +
                   "秒ごとにポーリングします"_cp;
        } else if (*v < kShortestIntervalSeconds) {
            seconds = kShortestIntervalSeconds;
            note = "Interval=" + text + " は短すぎます: "_cp + std::to_string(seconds) +
                   "秒ごとにポーリングします"_cp;
        } else {
            seconds = *v;
        }
    }
    if (!note.empty() && note != lastSaid) err << cp932ToUtf8(note) << '\n' << std::flush;
    lastSaid = note;
    return seconds;
}

}  // namespace

int RunWatch(const std::string& programFolder, const HandOffFactory& makeHandOff, std::ostream& out,
             std::ostream& err, const WatchOptions& options) {
    catchStopSignals();
    std::string said;
    SystemClock clock;
    LoginPacing pacing;
    PassOptions pass{options.quiet, &stopRequested(), &pacing};
    while (!stopRequested().load()) {
        // A failed pass has said why on `err`; the next one comes at the interval all the same,
        // or when the server's pause between logins is over, whichever is later; only a
        // settings error, which the user must mend, ends the watch.
        if (RunPollOnce(programFolder, makeHandOff, out, err, clock, pass) == kExitConfig)
            return kExitConfig;
        if (stopRequested().load()) break;
        int seconds = std::max(intervalOf(programFolder, err, said), pacing.secondsLeft(clock));
        if (options.verbose) {
            std::time_t next = std::time(nullptr) + seconds;
            char when[32];
            std::strftime(when, sizeof when, "%Y/%m/%d %H:%M:%S", std::localtime(&next));
            out << cp932ToUtf8("次のポーリング: "_cp) << when << '\n' << std::flush;
        }
        waitForNextPass(seconds);
    }
    return kExitDone;
}

}  // namespace korv
