#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace korv::test {

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& mine : env)
            replaced |= entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
        if (!replaced) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (rc != 0) throw std::runtime_error(argv[0] + ": " + std::strerror(rc));
}

Process::~Process() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
}

bool Process::readSome(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) return false;
    if (poll(fds, 2, timeoutMs) <= 0) return false;
    std::string* into[2] = {&result_.out, &result_.err};
    int* fd[2] = {&outFd_, &errFd_};
    for (int i = 0; i < 2; ++i) {
        if (!fds[i].revents) continue;
        char buf[4096];
        ssize_t n = read(*fd[i], buf, sizeof buf);
        if (n > 0) {
            into[i]->append(buf, n);
        } else {
            close(*fd[i]);
            *fd[i] = -1;
        }
    }
    return true;
}

bool Process::waitFor(const std::string& piece, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (result_.out.find(piece) == std::string::npos &&
           result_.err.find(piece) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
    }
    return true;
}

void Process::signal(int sig) { kill(pid_, sig); }

ProcessResult Process::finish(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (outFd_ >= 0 || errFd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) break;
    }
    int status = 0;
    if (outFd_ >= 0 || errFd_ >= 0) kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    result_.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result_;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         int timeoutMs) {
    Process p(argv, env);
    return p.finish(timeoutMs);
}

}  // namespace korv::test
