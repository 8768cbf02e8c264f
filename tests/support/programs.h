#pragma once
// Programs of this build that tests start as real processes.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace korv::test {

inline std::string builtProgram(const std::string& name) {
    return std::string(std::getenv("KORVANTO_BINARY_DIR")) + "/" + name;
}

// Waits for the child; -1 when a signal ended it or there was none.
inline int exitCodeOf(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace korv::test
