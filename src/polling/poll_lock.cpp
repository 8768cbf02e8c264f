#include "polling/poll_lock.h"

namespace korv {

std::optional<PollLock> PollLock::tryTake(const std::string& accountFolder) {
    try {
        return PollLock(SharedFile::open(accountFolder + ".poll.lock",
                                         SharedFile::Access::CreateReadWrite,
                                         SharedFile::Lock::Exclusive, Links::Refuse));
    } catch (const SharingViolation&) {
        return std::nullopt;
    }
}

}  // namespace korv
