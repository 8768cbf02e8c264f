#include "platform/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/codepage.h"

extern char** environ;

namespace korv {
namespace {

// Enough for any password; a command that prints more is not one we wait for.
constexpr std::size_t kMaxOutput = 64 * 1024;

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
    bool timedOut = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{out[0], POLLIN, 0};
        int r = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            timedOut = true;
            break;
        }
        char buf[4096];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buf, static_cast<std::size_t>(n));
        if (output.size() > kMaxOutput) break;
    }
    ::close(out[0]);
    if (timedOut) ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) fail(command, "時間内に終わりませんでした"_cp);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(command, WIFEXITED(status) ? "終了コード "_cp + std::to_string(WEXITSTATUS(status))
                                        : "シグナル "_cp + std::to_string(WTERMSIG(status)));
    std::string line = output.substr(0, output.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) fail(command, "何も出力しませんでした"_cp);
    return line;
}

}  // namespace korv
