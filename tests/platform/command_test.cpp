// Password commands as real processes: whatever the command does, the caller gets its first line
// or an error that names it, within the time-out, and nothing of the command keeps running.
#include "platform/command.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/codepage.h"
#include "support/named_rows.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

namespace {

struct CommandRow : NamedRow {
    std::string command;  // "$F" names a file where a helper of the command notes its pid
    std::string line;     // what the caller gets; "" : an error
    const char* reason;   // in the error, which also names the command
};

class PasswordCommand : public testing::TestWithParam<CommandRow> {};

// A helper that keeps running in the command's group, out of reach of its output.
const std::string kHelper = "sleep 30 </dev/null >/dev/null 2>&1 & echo $! > \"$F\"; ";

TEST_P(PasswordCommand, EndsWithinItsTimeOutWithItsFirstLineOrAnErrorNamingIt) {
    const CommandRow& row = GetParam();
    TempDir dir;
    const std::string pidFile = dir.file("pid");
    const std::string command = "F='" + pidFile + "'; " + row.command;
    constexpr int kTimeOutMs = 1000;
    auto start = std::chrono::steady_clock::now();
    std::string line, error;
    try {
        line = FirstLineOfCommand(command, kTimeOutMs);
    } catch (const CommandError& e) {
        error = cp932ToUtf8(e.what());
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(kTimeOutMs + 1500));
    EXPECT_EQ(line, row.line);
    if (row.line.empty()) {
        EXPECT_NE(error.find(command), std::string::npos) << error;
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    }
    // Its group went with it: the helper is gone (or an unreaped zombie of init).
    if (row.command.find("$F") != std::string::npos) {
        pid_t helper = std::stoi(readBytes(pidFile));
        bool gone = false;
        for (int wait = 0; wait < 100 && !gone; ++wait) {
            std::string stat;
            try {
                stat = readBytes("/proc/" + std::to_string(helper) + "/stat");
            } catch (...) {
            }
            gone = stat.empty() || stat.find(") Z") != std::string::npos;
            if (!gone) usleep(20000);
        }
        if (!gone) kill(helper, SIGKILL);
        EXPECT_TRUE(gone) << "the helper kept running";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PasswordCommand,
    testing::Values(
        CommandRow{{"PrintsItsPassword"}, "printf 'secret\\r\\nmore\\n'", "secret", ""},
        CommandRow{
            {"FourKiBIsStillALine"}, "printf '%4096s\\n' x", std::string(4095, ' ') + "x", ""},
        CommandRow{{"KeepsRunningAfterClosingItsOutput"},
                   kHelper + "printf 'secret\\n'; exec >&-; sleep 30",
                   "",
                   "時間内"},
        CommandRow{{"LeavesAHelperBehind"}, kHelper + "printf 'secret\\n'", "secret", ""},
        CommandRow{{"PrintsNothing"}, "true", "", "何も出力"},
        CommandRow{{"PrintsAnEmptyFirstLine"}, "printf '\\nsecret\\n'", "", "何も出力"},
        CommandRow{{"PrintsANul"}, "printf 'sec\\0ret\\n'", "", "NUL"},
        CommandRow{{"PrintsANulAfterTheFirstLine"}, "printf 'secret\\n\\0'", "", "NUL"},
        CommandRow{{"FirstLineOverFourKiB"}, "printf '%4097s\\n' x", "", "4096 バイト"},
        CommandRow{{"EndlessOutput"}, "yes | tr -d '\\n'", "", "4096 バイト"}),
    byName);

}  // namespace
