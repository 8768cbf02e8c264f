#pragma once
// Windows file sharing on POSIX through open-file-description locks: "others may read, not
// write" is a shared lock, "opened exclusively" an exclusive one. A conflict is a
// SharingViolation; nothing is truncated before the lock is held.
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_error.h"
#include "platform/paths.h"

namespace korv {

class SharedFile {
  public:
    enum class Access { Read, ReadWrite, CreateReadWrite };
    enum class Lock { Shared, Exclusive };

    // Opens and locks at once; throws SharingViolation on a lock conflict, LinkRefused for a link
    // that is not to be followed, FileError otherwise.
    static SharedFile open(const std::string& cp932Path, Access access, Lock lock,
                           Links links = Links::Follow);
    // As open, but a file (or folder on its path) that does not exist gives nothing.
    static std::optional<SharedFile> openIfExists(const std::string& cp932Path, Access access,
                                                  Lock lock, Links links = Links::Follow);

    SharedFile(SharedFile&& other) noexcept;
    SharedFile& operator=(SharedFile&& other) noexcept;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile();

    // The whole content of a regular file; anything else (a folder, a FIFO, a device) is a
    // FileError.
    std::string readAll();
    // Writes text at the start without cutting what follows.
    void writeAtStart(std::string_view text);
    // Changes the lock held on this open file; throws SharingViolation on a conflict.
    void relock(Lock lock);
    // Replaces the whole content in place: write from the start, then cut to the new length.
    void rewrite(std::string_view text);
    // Adds text at the end; a write that fails cuts the file back to what it held.
    void append(std::string_view text);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

  private:
    SharedFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_ = -1;
    std::string path_;
};

}  // namespace korv
