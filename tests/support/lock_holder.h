#pragma once
// A forked process that holds a file with a lock until released, as another instance of the
// program would.
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/shared_file.h"

namespace korv::test {

class LockHolder {
  public:
    // On release the holder writes newContent (when given) before it lets go.
    LockHolder(const std::string& path, SharedFile::Lock lock,
               std::optional<std::string> newContent = std::nullopt) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            char ok = '1';
            try {
                auto f = SharedFile::open(path, SharedFile::Access::ReadWrite, lock);
                (void)!write(ready[1], &ok, 1);
                char c;
                (void)!read(release[0], &c, 1);
                if (newContent) f.rewrite(*newContent);
            } catch (...) {
                ok = '0';
                (void)!write(ready[1], &ok, 1);
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char c = 0;
        holding_ = read(ready[0], &c, 1) == 1 && c == '1';
        close(ready[0]);
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool holding() const { return holding_; }

    // Returns once the holder has written, closed the file and ended.
    void release() {
        if (release_ < 0) return;
        close(release_);
        release_ = -1;
        waitpid(pid_, nullptr, 0);
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool holding_ = false;
};

}  // namespace korv::test
