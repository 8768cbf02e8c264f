#pragma once
// The program (or a tool) as a real process: posix_spawn, never fork, since the test process
// has threads.
#include <sys/types.h>

#include <string>
#include <vector>

namespace korv::test {

struct ProcessResult {
    int exitCode = -1;  // -1: killed or timed out
    std::string out;
    std::string err;
};

// A running process whose standard output and error are read as it goes.
class Process {
  public:
    // `env` entries NAME=value are added to (or replace) this process's environment.
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~Process();  // kills what still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Reads until `piece` is in standard output or error, or the time-out; true when found.
    bool waitFor(const std::string& piece, int timeoutMs);
    void signal(int sig);
    // Reads the rest and waits for the end; kills the process after the time-out.
    ProcessResult finish(int timeoutMs);
    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

  private:
    bool readSome(int timeoutMs);
    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    ProcessResult result_;
};

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, int timeoutMs = 60000);

}  // namespace korv::test
