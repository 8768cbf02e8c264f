#include "platform/whole_file.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/shared_file.h"

namespace korv {
namespace {

// Read once: the program never changes its umask, and reading it means setting it for a moment.
mode_t processUmask() {
    static const mode_t mask = [] {
        mode_t m = ::umask(0);
        ::umask(m);
        return m;
    }();
    return mask;
}

void writeAll(int fd, const std::string& text, const std::string& path) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwWriteError(path, errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

// Fills the file just created on fd and closes it; on any failure the file is removed again.
// With a mode, the file gets exactly that mode (the umask does not count).
void fillNewFile(int fd, const std::filesystem::path& file, const std::string& text,
                 const std::string& path, std::optional<mode_t> mode = std::nullopt) {
    try {
        writeAll(fd, text, path);
        if (mode && ::fchmod(fd, *mode) != 0) throwWriteError(path, errno);
    } catch (...) {
        ::close(fd);
        ::unlink(file.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(file.c_str());
        throwWriteError(path, err);
    }
}

void replaceFile(const std::string& text, const std::string& path, mode_t newMode,
                 Links links = Links::Follow) {
    auto target = nativePath(path);
    mode_t mode = newMode;
    struct stat st {};
    std::optional<SharedFile> guard;
    if (links == Links::Refuse && isSymbolicLink(path)) throwLinkRefused(path);
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throwOpenError(path, EISDIR);
        mode = st.st_mode & 07777;
        // Holding the old file exclusively makes a writer fail while another process has it open.
        guard.emplace(SharedFile::open(path, SharedFile::Access::ReadWrite,
                                       SharedFile::Lock::Exclusive, links));
    }
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::string tempName = target.filename().string() + ".tmp" + std::to_string(rng() % 1000000);
    auto temp = target.parent_path() / ("." + tempName);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) throwWriteError(path, errno);
    // The umask is all that can keep the new file from its mode.
    fillNewFile(fd, temp, text, path,
                (mode & processUmask()) ? std::optional<mode_t>(mode) : std::nullopt);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        throwWriteError(path, err);
    }
}

}  // namespace

std::string ReadFileToString(const std::string& path, Links links) {
    auto file = SharedFile::open(path, SharedFile::Access::Read, SharedFile::Lock::Shared, links);
    return file.readAll();
}

void WriteStringToFile(const std::string& text, const std::string& path, Links links) {
    replaceFile(text, path, 0666 & ~processUmask(), links);
}

void WriteNewFile(const std::string& text, const std::string& path) {
    auto target = nativePath(path);
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throwOpenError(path, errno);
    fillNewFile(fd, target, text, path);
}

void AppendStringToFile(const std::string& text, const std::string& path, Links links) {
    SharedFile::open(path, SharedFile::Access::ReadWrite, SharedFile::Lock::Exclusive, links)
        .append(text);
}

bool AppendStringToExistingFile(const std::string& text, const std::string& path, Links links) {
    auto file = SharedFile::openIfExists(path, SharedFile::Access::ReadWrite,
                                         SharedFile::Lock::Exclusive, links);
    if (!file) return false;
    file->append(text);
    return true;
}

void CopyFileReplacing(const std::string& from, const std::string& to) {
    auto source = nativePath(from);
    auto target = nativePath(to);
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throwOpenError(from, errno);
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(in);
        throwReadError(from, err ? err : EINVAL);
    }
    int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        int err = errno;
        ::close(in);
        throwOpenError(to, err);
    }
    int err = 0;
    for (off_t done = 0; done < st.st_size && !err;) {
        ssize_t n = ::sendfile(out, in, &done, static_cast<std::size_t>(st.st_size - done));
        if (n < 0 && errno != EINTR) err = errno;
        if (n == 0) err = EIO;  // the source shrank under us
    }
    ::close(in);
    if (::close(out) != 0 && !err) err = errno;
    if (err) {
        ::unlink(target.c_str());
        throwWriteError(to, err);
    }
}

void WriteFileReplacing(const std::string& text, const std::string& to) {
    auto target = nativePath(to);
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throwOpenError(to, errno);
    fillNewFile(fd, target, text, to);
}

void WritePrivateStringToFile(const std::string& text, const std::string& path) {
    replaceFile(text, path, 0600);
}

}  // namespace korv
