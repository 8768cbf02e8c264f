#pragma once
// One poller per home: a pass holds an exclusive lock on a file in the account folder. The lock,
// not the file's presence, decides, so a killed poll never blocks the next one.
#include <optional>
#include <string>

#include "platform/shared_file.h"

namespace korv {

class PollLock {
  public:
    // Nothing when another poll (in this or another process) holds the account folder.
    static std::optional<PollLock> tryTake(const std::string& accountFolder);

  private:
    explicit PollLock(SharedFile file) : file_(std::move(file)) {}
    SharedFile file_;
};

}  // namespace korv
