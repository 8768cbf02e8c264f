#include "mail/attachment_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"

namespace korv::mail {
namespace {

constexpr std::size_t kMaxNameChars = 120;

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool reserved(const std::string& name, const std::vector<std::string>& taken) {
    std::string l = lowerAscii(name);
    if (l == "header.txt" || l == "body.txt") return true;
    for (const auto& t : taken)
        if (lowerAscii(t) == l) return true;
    return false;
}

// Splits at the extension's dot (not for a leading dot).
std::pair<std::string, std::string> splitExtension(const std::string& name) {
    std::size_t dot = std::string::npos;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (isLeadByte(static_cast<unsigned char>(name[i])) && i + 1 < name.size()) {
            ++i;
            continue;
        }
        if (name[i] == '.') dot = i;
    }
    if (dot == std::string::npos || dot == 0) return {name, ""};
    return {name.substr(0, dot), name.substr(dot)};
}

// Keeps at most max characters, never splitting a double-byte one.
std::string cutChars(const std::string& s, std::size_t max) {
    std::size_t i = 0, n = 0;
    while (i < s.size() && n < max) {
        i += isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
        ++n;
    }
    return s.substr(0, i);
}

}  // namespace

std::string safeAttachmentName(std::string_view in, std::string_view fallback) {
    // Base name: after the last '/' or '\' that is not the second byte of a character.
    std::string name;
    for (std::size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (isLeadByte(c) && i + 1 < in.size()) {
            name += in.substr(i, 2);
            ++i;
            continue;
        }
        if (c == '/' || c == '\\') {
            name.clear();
            continue;
        }
        if (c < 0x20 || c == 0x7F || c == ':' || c == '?' || c == '*' || c == '<' || c == '>' ||
            c == '|')
            name += '_';
        else
            name += static_cast<char>(c);
    }
    // Leading dots and blanks hide or disguise a file; trailing ones are dropped by Windows.
    std::size_t b = name.find_first_not_of(" .");
    if (b == std::string::npos) return std::string(fallback);
    name.erase(0, b);
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) {
        // A trailing byte of a double-byte character is never ' ' or '.'.
        name.pop_back();
    }
    if (name.empty()) return std::string(fallback);
    if (cp932CharCount(name) > kMaxNameChars) {
        auto [stem, ext] = splitExtension(name);
        if (cp932CharCount(ext) > 16) ext.clear();
        name = cutChars(stem, kMaxNameChars - cp932CharCount(ext)) + ext;
    }
    return name;
}

NewAttachmentFile::NewAttachmentFile(const std::string& folder, const std::string& name,
                                     const std::vector<std::string>& taken) {
    std::string base = withTrailingDelimiter(folder);
    auto [stem, ext] = splitExtension(name);
    for (int n = 0;; ++n) {
        std::string candidate = n == 0 ? name : stem + "(" + std::to_string(n) + ")" + ext;
        if (reserved(candidate, taken)) continue;
        std::string path = base + candidate;
        // O_EXCL: an existing file of that name is never replaced, even one made meanwhile.
        int fd = ::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST && n < 100000) continue;
            throwOpenError(path, errno);
        }
        fd_ = fd;
        name_ = candidate;
        path_ = path;
        return;
    }
}

NewAttachmentFile::~NewAttachmentFile() {
    if (fd_ >= 0) remove();
}

void NewAttachmentFile::remove() {
    ::close(fd_);
    fd_ = -1;
    ::unlink(nativePath(path_).c_str());
}

void NewAttachmentFile::failed(int err) {
    remove();
    throwWriteError(path_, err);
}

void NewAttachmentFile::write(const char* bytes, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd_, bytes + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) failed(errno);
        if (w == 0) failed(EIO);
        done += static_cast<std::size_t>(w);
    }
}

std::string NewAttachmentFile::finish() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(nativePath(path_).c_str());
        throwWriteError(path_, err);
    }
    return name_;
}

std::string writeNewAttachment(const std::string& folder, const std::string& name,
                               std::string_view bytes, const std::vector<std::string>& taken) {
    NewAttachmentFile file(folder, name, taken);
    file.write(bytes.data(), bytes.size());
    return file.finish();
}

}  // namespace korv::mail
