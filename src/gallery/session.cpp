#include "gallery/session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "gallery/text_routines.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {

namespace {

constexpr int kOpenAttempts = 100;
constexpr int kTokenLimit = 32;
constexpr std::size_t kMaxNameBytes = 255;  // NAME_MAX of every file system we run on

// The value of the first line whose key matches; "" when there is none.
std::string lookUp(const std::vector<std::string>& lines, const std::string& key) {
    for (const auto& line : lines) {
        std::size_t eq = line.find('=');
        if (eq != std::string::npos && equalsIgnoringCase(line.substr(0, eq), key))
            return line.substr(eq + 1);
    }
    return {};
}

std::string existingFolder(const std::string& value) {
    if (value.empty()) return {};
    std::string folder = withTrailingDelimiter(value);
    return folderExists(folder) ? folder : std::string();
}

// The account name comes from a mail subject, so it must not lead out of the session folder.
// It is checked as the file system gets it: a lead byte before '/' becomes U+FFFD and leaves the
// '/' standing, and a name the file system cannot hold would fail every poll that meets it.
bool isSafeAccountName(const std::string& sessionDB, const std::string& account) {
    if (account == "." || account == "..") return false;
    for (std::size_t i = 0; i < account.size(); ++i) {
        auto c = static_cast<unsigned char>(account[i]);
        if (isLeadByte(c) && i + 1 < account.size()) {
            ++i;
        } else if (c < 32 || c == 127 || c == '/' || c == '\\' || c == ':') {
            return false;
        }
    }
    const std::string native = cp932ToUtf8(account);
    if (native.find_first_of("/\\:") != std::string::npos) return false;
    if (native.find("\xEF\xBF\xBD") != std::string::npos) return false;  // U+FFFD
    for (unsigned char c : native)
        if (c < 32 || c == 127) return false;
    return nativePath(sessionDB + account + ".txt").filename().native().size() <= kMaxNameBytes;
}

[[noreturn]] void throwCreateError(const std::string& path, int err) {
    throw FileError(path + " を作成できません: "_cp + utf8ToCp932(std::strerror(err)));
}

// Creates the counter holding "0" CR LF. The content is written aside and linked into place, so
// no process ever sees the new counter half written, and a counter that another process created
// meanwhile is kept, never reset.
void createCounterFile(const std::string& path) {
    static const std::string kInitial = "0\r\n";
    const auto native = nativePath(path);
    const std::string target = native.string();
    // Appended, not "." + ...: GCC 12 warns falsely (-Wrestrict) on that form.
    std::string temp = (native.parent_path() /
                        std::string(".").append(native.filename().string()).append(".XXXXXX"))
                           .string();
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) throwCreateError(path, errno);
    mode_t mask = ::umask(0);
    ::umask(mask);
    bool written =
        ::fchmod(fd, 0666 & ~mask) == 0 &&
        ::write(fd, kInitial.data(), kInitial.size()) == static_cast<ssize_t>(kInitial.size());
    int err = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written) {
        ::unlink(temp.c_str());
        throwCreateError(path, err);
    }
    int linked = ::link(temp.c_str(), target.c_str());
    err = errno;
    ::unlink(temp.c_str());
    if (linked == 0 || err == EEXIST) return;
    // File systems without hard links: an exclusive create still never resets a counter.
    fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) return;
        throwCreateError(path, errno);
    }
    written =
        ::write(fd, kInitial.data(), kInitial.size()) == static_cast<ssize_t>(kInitial.size());
    err = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written) {
        ::unlink(target.c_str());  // just created by us; never leave it empty
        throwCreateError(path, err);
    }
}

// Blanks and control characters (codes 0 to 32) are skipped, then up to 32 characters above
// code 32 must form a signed 32-bit integer; an empty file reads as 0.
std::int32_t readCounterNumber(const std::string& text, const std::string& path) {
    auto code = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t p = 0;
    while (p < text.size() && code(p) <= 32) ++p;
    std::size_t start = p;
    while (p < text.size() && code(p) > 32 && p - start < kTokenLimit) ++p;
    std::string token = text.substr(start, p - start);
    if (token.empty()) return 0;
    std::size_t digitsFrom = (token[0] == '+' || token[0] == '-') ? 1 : 0;
    bool ok = digitsFrom < token.size() &&
              token.find_first_not_of("0123456789", digitsFrom) == std::string::npos;
    std::int32_t number = 0;
    if (ok) {
        const char* first = token.data() + (token[0] == '+' ? 1 : 0);
        const char* last = token.data() + token.size();
        auto [end, ec] = std::from_chars(first, last, number);  // too large: out of range
        ok = ec == std::errc() && end == last;
    }
    if (!ok) {
        throw ConversionError(path + " の番号を読めません: 「"_cp + token +
                              "」は整数ではありません"_cp);
    }
    return number;
}

}  // namespace

SessionRecord LoadSessionFile(const std::string& sessionDB, const std::string& account) {
    if (!isSafeAccountName(sessionDB, account)) return {};
    std::string fileName = sessionDB + account + ".txt";
    auto file = SharedFile::openIfExists(fileName, SharedFile::Access::Read,
                                         SharedFile::Lock::Shared, Links::Refuse);
    if (!file) return {};
    std::string text;
    try {
        text = file->readAll();
    } catch (const FileError&) {
        if (folderExists(fileName)) return {};  // a folder of that name is no session file
        throw;
    }
    file->close();
    std::vector<std::string> lines = splitLines(text);

    SessionRecord loaded;
    loaded.path = existingFolder(lookUp(lines, "path"));
    loaded.membersdb = existingFolder(lookUp(lines, "membersdb"));
    loaded.nameorder = lookUp(lines, "nameorder");
    loaded.FileNameTemplate = lookUp(lines, "FileNameTemplate");
    loaded.FileNameCounter = lookUp(lines, "FileNameCounter");
    loaded.DefaultImgFile = lookUp(lines, "DefaultImgFile");
    std::string acceptHtml = lookUp(lines, "accepthtml");
    if (!acceptHtml.empty() && fileExists(acceptHtml)) loaded.accepthtml = acceptHtml;
    loaded.allowfrom = lookUp(lines, "allowfrom");
    loaded.maxbytes = lookUp(lines, "maxbytes");
    loaded.keepmetadata = lookUp(lines, "keepmetadata");
    return loaded;
}

std::string NextNumberedName(Clock& clock, const std::string& counterFile,
                             const std::string& numberTemplate, const std::string& folder,
                             const std::string& firstExt, const std::string& secondExt) {
    clock.reseed();

    // While we read and search, others may read the counter but nobody may rewrite it.
    std::optional<SharedFile> counter;
    for (int attempt = 0; attempt < kOpenAttempts && !counter; ++attempt) {
        try {
            counter = SharedFile::openIfExists(counterFile, SharedFile::Access::ReadWrite,
                                               SharedFile::Lock::Shared, Links::Refuse);
        } catch (const SharingViolation&) {
            clock.sleep(300 + clock.random(300));
            continue;
        } catch (const LinkRefused&) {
            throw;  // said as it is, not as a counter that cannot be opened
        } catch (const FileError&) {
            return {};
        }
        if (!counter) createCounterFile(counterFile);  // the next attempt opens it
    }
    if (!counter) return {};

    // Every way out of here closes the counter, a failed read included, so that it never stays
    // locked against the next rewrite.
    std::int32_t number = readCounterNumber(counter->readAll(), counterFile);
    std::string dir = withTrailingDelimiter(folder);

    // k places give at most 10^k different names; past that every name has been seen.
    std::size_t places = CountNumberPlaces(numberTemplate);
    std::uint64_t maxTries = 1;
    for (std::size_t i = 0; i < places && maxTries <= (1ULL << 40); ++i) maxTries *= 10;
    maxTries += 1;

    std::string name;
    bool found = false;
    for (std::uint64_t tries = 0;
         tries < maxTries && number < std::numeric_limits<std::int32_t>::max(); ++tries) {
        ++number;
        name = FillNumberTemplate(number, numberTemplate);
        if (!fileExists(dir + name + secondExt) && !fileExists(dir + name + firstExt)) {
            found = true;
            break;
        }
    }
    if (!found) return {};

    // A process still reading the old number would hand out the same name: one of us must fail.
    try {
        counter->relock(SharedFile::Lock::Exclusive);
    } catch (const SharingViolation&) {
        counter->close();  // let the other one finish
        throw;
    }
    counter->rewrite(std::to_string(number));
    counter->close();
    return name;
}

}  // namespace korv
