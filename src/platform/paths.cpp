#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/text.h"

namespace korv {
namespace {

bool isDelimiterByte(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::filesystem::path nativePath(std::string_view cp932) {
    std::string s(cp932);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) {
            ++i;
        } else if (s[i] == '\\') {
            s[i] = '/';
        }
    }
    return std::filesystem::path(cp932ToUtf8(s));
}

std::string fromNativePath(const std::filesystem::path& p) {
    std::string cp = utf8ToCp932(p.string());
    // A '?' that the name did not hold stands for a character CP932 cannot represent.
    std::string original = p.string();
    if (cp932ToUtf8(cp) != original) {
        for (auto& c : cp)
            if (c == '?') c = '_';
    }
    return cp;
}

bool isWindowsDeviceName(std::string_view name) {
    std::string base = asciiLower(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();  // Windows drops them
    if (base == "con" || base == "prn" || base == "aux" || base == "nul" || base == "conin$" ||
        base == "conout$" || base == "clock$")
        return true;
    return base.size() == 4 && (base.rfind("com", 0) == 0 || base.rfind("lpt", 0) == 0) &&
           base[3] >= '0' && base[3] <= '9';
}

bool endsWithPathDelimiter(std::string_view s) {
    bool last = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) {
            ++i;
            last = false;
        } else {
            last = isDelimiterByte(s[i]);
        }
    }
    return last;
}

std::string withTrailingDelimiter(std::string s) {
    if (!endsWithPathDelimiter(s)) s += kPathDelimiter;
    return s;
}

std::string extensionOf(std::string_view s) {
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) {
            ++i;
        } else if (s[i] == '.') {
            dot = i;
        } else if (isDelimiterByte(s[i]) || s[i] == ':') {
            dot = std::string_view::npos;
        }
    }
    return dot == std::string_view::npos ? std::string() : std::string(s.substr(dot));
}

bool fileExists(std::string_view cp932) {
    std::error_code ec;
    auto st = std::filesystem::status(nativePath(cp932), ec);
    return !ec && std::filesystem::exists(st) && !std::filesystem::is_directory(st);
}

bool folderExists(std::string_view cp932) {
    std::error_code ec;
    return std::filesystem::is_directory(nativePath(cp932), ec);
}

void createFolders(std::string_view cp932) {
    std::error_code ec;
    std::filesystem::create_directories(nativePath(cp932), ec);
}

void ensureFolders(std::string_view cp932) {
    std::error_code ec;
    std::filesystem::create_directories(nativePath(cp932), ec);
    if (ec)
        throw FileError(std::string(cp932) + " を作成できません: "_cp + utf8ToCp932(ec.message()));
}

bool createNewFolder(std::string_view cp932) {
    auto native = nativePath(cp932);
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    int err = errno;
    if (err == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(native.parent_path(), ec);
        if (::mkdir(native.c_str(), 0777) == 0) return true;
        err = errno;
    }
    if (err == EEXIST) return false;
    throw FileError(std::string(cp932) + " を作成できません: "_cp +
                    utf8ToCp932(std::strerror(err)));
}

bool renameFolderToFreeName(std::string_view from, std::string_view to) {
    auto source = nativePath(from);
    auto target = nativePath(to);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    int err = errno;
    if (err == EINVAL) {
        // A file system without RENAME_NOREPLACE: claim the name with an empty folder of our
        // own, which a rename may then replace.
        if (!createNewFolder(to)) return false;
        if (::rename(source.c_str(), target.c_str()) == 0) return true;
        err = errno;
        ::rmdir(target.c_str());
    }
    if (err == EEXIST || err == ENOTEMPTY) return false;
    throw FileError(std::string(from) + " を " + std::string(to) + " に移せません: "_cp +
                    utf8ToCp932(std::strerror(err)));
}

int openPath(std::string_view cp932, int flags, mode_t mode, Links links) {
    auto native = nativePath(cp932);
    int fd = ::open(native.c_str(), flags | (links == Links::Refuse ? O_NOFOLLOW : 0), mode);
    // ELOOP also stands for a loop among the folders on the way; only a link in the place of the
    // file itself is refused as such.
    if (fd < 0 && errno == ELOOP && links == Links::Refuse && isSymbolicLink(cp932))
        throwLinkRefused(std::string(cp932));
    return fd;
}

bool isSymbolicLink(std::string_view cp932) {
    struct stat st {};
    return ::lstat(nativePath(cp932).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool removeFileInside(std::string_view cp932File, std::string_view cp932Folder) {
    const std::string file(cp932File);
    auto native = nativePath(cp932File);
    auto refuse = [&](const std::string& why) { throw FileError(file + " は"_cp + why); };
    for (const auto& part : native)
        if (part == "..") refuse(" .. を含むので削除しません"_cp);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        throwOpenError(file, errno);
    }
    if (!S_ISREG(st.st_mode)) refuse("通常のファイルではないので削除しません"_cp);
    std::error_code ec;
    auto folder = std::filesystem::canonical(nativePath(cp932Folder), ec);
    auto parent = ec ? folder : std::filesystem::canonical(native.parent_path(), ec);
    // Inside: the folder's resolved path is a leading part of the file's resolved folder.
    auto [f, p] = std::mismatch(folder.begin(), folder.end(), parent.begin(), parent.end());
    if (ec || f != folder.end())
        refuse(" "_cp + std::string(cp932Folder) + " の外にあるので削除しません"_cp);
    if (::unlink(native.c_str()) != 0) {
        int err = errno;
        if (err == ENOENT) return false;
        throw FileError(file + utf8ToCp932(" を削除できません: ") +
                        utf8ToCp932(std::strerror(err)));
    }
    return true;
}

std::string programFolder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return withTrailingDelimiter(currentFolder());
    return withTrailingDelimiter(fromNativePath(exe.parent_path()));
}

std::string currentFolder() {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string(".") : fromNativePath(cwd);
}

}  // namespace korv
