#include "mail/mime/attachment_names.h"

#include <fcntl.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

constexpr std::size_t kMaxNameChars = 120;  // long enough for any real name, short to read
constexpr std::size_t kMaxExtensionChars = 16;

// Windows folds letter case in names: "A.JPG" would replace "a.jpg" there.
bool reserved(const std::string& name, const TakenNames& taken) {
    if (equalsIgnoringCase(name, "header.txt") || equalsIgnoringCase(name, "body.txt")) return true;
    return taken.contains(name);
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

std::u32string codePoints(std::string_view utf8) {
    std::u32string out;
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        out += c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
    }
    return out;
}

std::string utf8Of(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) {
        uint8_t bytes[U8_MAX_LENGTH];
        int32_t n = 0;
        U8_APPEND_UNSAFE(bytes, n, c);
        out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n));
    }
    return out;
}

std::size_t utf8Bytes(std::u32string_view text) {
    std::size_t n = 0;
    for (char32_t c : text) n += static_cast<std::size_t>(U8_LENGTH(c));
    return n;
}

bool trimmedAtEnds(char32_t c) { return c == U' ' || c == U'.'; }

// CP932 of characters that all came from CP932. Names hold no '?' of their own (it is replaced
// first), so a '?' is a character that does not go back; it becomes '_'.
std::string cp932Of(std::u32string_view text) {
    std::string out = utf8ToCp932(utf8Of(text));
    std::replace(out.begin(), out.end(), '?', '_');  // never a trail byte
    return out;
}

// stem + suffix within the limits of a name, the stem cut by whole characters; the cut never
// leaves a blank or dot at its end.
std::string withinLimits(const std::string& stemCp932, const std::string& suffixCp932) {
    std::u32string stem = codePoints(nativePath(stemCp932).native());
    std::u32string suffix = codePoints(nativePath(suffixCp932).native());
    const std::size_t suffixBytes = utf8Bytes(suffix);
    std::size_t bytes = utf8Bytes(stem);
    if (stem.size() + suffix.size() <= kMaxNameChars && bytes + suffixBytes <= kMaxNativeNameBytes)
        return stemCp932 + suffixCp932;
    while (!stem.empty() &&
           (stem.size() + suffix.size() > kMaxNameChars ||
            bytes + suffixBytes > kMaxNativeNameBytes || trimmedAtEnds(stem.back()))) {
        bytes -= static_cast<std::size_t>(U8_LENGTH(stem.back()));
        stem.pop_back();
    }
    return cp932Of(stem) + suffixCp932;
}

}  // namespace

// Decided on the name as the file system gets it: the CP932 bytes go through the same
// conversion as every path (a lead byte before '/' becomes U+FFFD and leaves the '/' standing).
std::string safeAttachmentName(std::string_view in, std::string_view fallback) {
    std::u32string name;
    for (char32_t c : codePoints(nativePath(in).native())) {
        if (c == U'/' || c == U'\\') {  // keep the base name only
            name.clear();
        } else if (c == U'\uFFFD' || c < 0x20 || (c >= 0x7F && c < 0xA0) ||
                   std::u32string_view(U":*?<>|").find(c) != std::u32string_view::npos) {
            name += U'_';
        } else {
            name += c;
        }
    }
    // Leading dots and blanks hide or disguise a file; trailing ones are dropped by Windows.
    std::size_t b = 0;
    while (b < name.size() && trimmedAtEnds(name[b])) ++b;
    name.erase(0, b);
    while (!name.empty() && trimmedAtEnds(name.back())) name.pop_back();
    if (name.empty()) return std::string(fallback);

    std::string cp932 = cp932Of(name);
    auto [stem, ext] = splitExtension(cp932);
    if (cp932CharCount(ext) > kMaxExtensionChars) {
        stem = cp932;
        ext.clear();
    }
    std::string fitted = withinLimits(stem, ext);
    if (isWindowsDeviceName(fitted)) {
        // "nul.jpg" -> "nul_.jpg": the device part is the name up to its first dot.
        std::size_t dot = fitted.find('.');
        std::string device = fitted.substr(0, dot);
        std::string middle = dot == std::string::npos ? "" : fitted.substr(dot);
        middle.resize(middle.size() - ext.size());
        fitted = withinLimits(device + "_" + middle, ext);
    }
    return fitted;
}

std::string TakenNames::asciiLowerOf(const std::string& name) { return asciiLower(name); }

bool TakenNames::contains(const std::string& name) const {
    return folded_.count(asciiLower(name)) != 0;
}

void TakenNames::add(const std::string& name) { folded_.insert(asciiLower(name)); }

NewAttachmentFile::NewAttachmentFile(const std::string& folder, const std::string& name,
                                     TakenNames& taken)
    : taken_(taken) {
    std::string base = withTrailingDelimiter(folder);
    auto [stem, ext] = splitExtension(name);
    if (cp932CharCount(ext) > kMaxExtensionChars) {
        stem = name;
        ext.clear();
    }
    int& resume = taken.resumeAt(name);
    for (int n = resume;; ++n) {
        // Appended, not "(" + ...: GCC 12 warns falsely (-Wrestrict) on that form.
        std::string candidate =
            n == 0 ? name
                   : withinLimits(
                         stem, std::string("(").append(std::to_string(n)).append(")").append(ext));
        if (reserved(candidate, taken)) continue;
        std::string path = base + candidate;
        // A name is one file of this folder, however it was made.
        if (nativePath(path).parent_path() != nativePath(base).parent_path())
            throwOpenError(path, EINVAL);
        // O_EXCL: an existing file of that name is never replaced, even one made meanwhile.
        int fd = ::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST && n < 100000) continue;
            throwOpenError(path, errno);
        }
        fd_ = fd;
        name_ = candidate;
        path_ = path;
        // Every variant below n is taken, by this folder's files or by earlier parts.
        resume = n + 1;
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
    taken_.add(name_);
    return name_;
}

std::string writeNewAttachment(const std::string& folder, const std::string& name,
                               std::string_view bytes, TakenNames& taken) {
    NewAttachmentFile file(folder, name, taken);
    file.write(bytes.data(), bytes.size());
    return file.finish();
}

}  // namespace korv::mail
