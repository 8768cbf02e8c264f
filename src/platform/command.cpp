#include "platform/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/codepage.h"

extern char** environ;

namespace korv {
namespace {

// Enough for any password; a command that prints more is not one we wait for.
constexpr std::size_t kMaxOutput = 64 * 1024;
// A first line longer than this is no password (a key file, a page of help text).
constexpr std::size_t kMaxLine = 4096;

[[noreturn]] void fail(const std::string& command, const std::string& why) {
    throw CommandError("コマンド「"_cp + command + "」が失敗しました: "_cp + why);
}

}  // namespace

std::string FirstLineOfCommand(const std::string& command, int timeoutMs) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) fail(command, utf8ToCp932(std::strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string utf8 = cp932ToUtf8(command);
    char sh[] = "/bin/sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, utf8.data(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        fail(command, utf8ToCp932(std::strerror(spawned)));
    }

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outputClosed = false, timedOut = false;
    for (;;) {
        if (outputClosed) {
            // Looked at without reaping: until it is reaped, its pid and group stay ours to kill.
            siginfo_t info{};
            int w = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
            if (w == 0 ? info.si_pid == pid : errno == ECHILD) break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        // Once the output is closed the command may still run: looked at every few ms.
        pollfd p{outputClosed ? -1 : out[0], POLLIN, 0};
        int r =
            ::poll(&p, 1, static_cast<int>(outputClosed ? std::min<long long>(left, 10) : left));
        if (r <= 0 || outputClosed) continue;
        char buf[4096];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) output.append(buf, static_cast<std::size_t>(n));
        // Enough read: a command that goes on writing meets a closed pipe.
        if (n <= 0 || output.size() > kMaxOutput) {
            outputClosed = true;
            ::close(out[0]);
        }
    }
    if (!outputClosed) ::close(out[0]);
    // Whatever it left running in its group goes with it.
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) fail(command, "時間内に終わりませんでした"_cp);
    // Judged before the exit status: a command cut off for printing too much dies of the closed
    // pipe, and the output is the reason.
    std::string line = output.substr(0, output.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLine)
        fail(command,
             "出力の最初の行が "_cp + std::to_string(kMaxLine) + " バイトを超えています"_cp);
    // A NUL would cut the password short wherever it is passed on as a C string.
    if (output.find('\0') != std::string::npos) fail(command, "出力に NUL 文字があります"_cp);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(command, WIFEXITED(status) ? "終了コード "_cp + std::to_string(WEXITSTATUS(status))
                                        : "シグナル "_cp + std::to_string(WTERMSIG(status)));
    if (line.empty()) fail(command, "何も出力しませんでした"_cp);
    return line;
}

}  // namespace korv
