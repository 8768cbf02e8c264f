#include "platform/shared_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/codepage.h"
#include "platform/paths.h"

namespace korv {
namespace {

bool setLock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

bool isLockConflict(int err) { return err == EAGAIN || err == EACCES; }

}  // namespace

SharedFile SharedFile::open(const std::string& path, Access access, Lock lock, Links links) {
    auto file = openIfExists(path, access, lock, links);
    if (!file) throwOpenError(path, errno);
    return std::move(*file);
}

std::optional<SharedFile> SharedFile::openIfExists(const std::string& path, Access access,
                                                   Lock lock, Links links) {
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::Read:
            flags |= O_RDONLY;
            break;
        case Access::ReadWrite:
            flags |= O_RDWR;
            break;
        case Access::CreateReadWrite:
            flags |= O_RDWR | O_CREAT;
            break;
    }
    // Without O_NONBLOCK a FIFO in a file's place would hold the program until someone writes.
    int fd = openPath(path, flags | O_NONBLOCK, 0666, links);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) return std::nullopt;
    if (fd < 0) throwOpenError(path, errno);
    // O_NONBLOCK stays: a regular file takes no notice of it, and anything else is refused
    // before it is read (readAll) or fails at its first positioned write.
    SharedFile file(fd, path);
    if (!setLock(fd, lock == Lock::Shared ? F_RDLCK : F_WRLCK)) {
        int err = errno;
        if (isLockConflict(err)) throw SharingViolation(path + " は他のプロセスが使用中です"_cp);
        throwOpenError(path, err);
    }
    return file;
}

SharedFile::SharedFile(SharedFile&& other) noexcept
    : fd_(other.fd_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

SharedFile::~SharedFile() { close(); }

std::string SharedFile::readAll() {
    // A device would never end, a FIFO would wait for a writer.
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throwReadError(path_, errno);
    if (S_ISDIR(st.st_mode)) throwReadError(path_, EISDIR);
    if (!S_ISREG(st.st_mode)) throw FileError(path_ + " は通常のファイルではありません"_cp);
    // One byte more than the file holds: a read that comes back short is its end, without a
    // second read to find out, and a big file takes its size in memory once, not twice while its
    // buffer grows. The size is not trusted beyond what a file of the program may hold (a sparse
    // file may claim terabytes); a file that grows meanwhile is read on to its new end.
    constexpr std::size_t kLargestFile = std::size_t{1} << 30;
    std::string out(std::min(static_cast<std::size_t>(st.st_size), kLargestFile) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == out.size()) out.resize(out.size() + std::max<std::size_t>(65536, used / 2));
        ssize_t n = ::pread(fd_, out.data() + used, out.size() - used, static_cast<off_t>(used));
        if (n < 0) {
            if (errno == EINTR) continue;
            throwReadError(path_, errno);
        }
        used += static_cast<std::size_t>(n);
        if (n == 0 || used < out.size()) break;
    }
    out.resize(used);
    return out;
}

void SharedFile::relock(Lock lock) {
    if (!setLock(fd_, lock == Lock::Shared ? F_RDLCK : F_WRLCK)) {
        int err = errno;
        if (isLockConflict(err)) throw SharingViolation(path_ + " は他のプロセスが使用中です"_cp);
        throwOpenError(path_, err);
    }
}

void SharedFile::writeAtStart(std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throwWriteError(path_, errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

void SharedFile::rewrite(std::string_view text) {
    writeAtStart(text);
    if (ftruncate(fd_, static_cast<off_t>(text.size())) != 0) throwWriteError(path_, errno);
}

void SharedFile::append(std::string_view text) {
    off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) throwWriteError(path_, errno);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n =
            ::pwrite(fd_, text.data() + done, text.size() - done, end + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            // The error that stopped the write is the one to report, not the cut's.
            [[maybe_unused]] int cut = ftruncate(fd_, end);
            throwWriteError(path_, err);
        }
        done += static_cast<std::size_t>(n);
    }
}

void SharedFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);  // closing the description releases its lock
        fd_ = -1;
    }
}

}  // namespace korv
