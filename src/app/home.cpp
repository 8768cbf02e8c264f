#include "app/home.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_error.h"
#include "platform/paths.h"

namespace korv {
namespace fs = std::filesystem;

fs::path windowModulePath(const fs::path& programDir) {
    std::error_code ec;
    for (fs::path p : {programDir / kWindowModuleName,
                       programDir / ".." / "lib" / "korvanto" / kWindowModuleName})
        if (fs::exists(p, ec)) return p.lexically_normal();
    return {};
}

fs::path defaultHome(const fs::path& programDir, const char* xdgDataHome, const char* userHome) {
    std::error_code ec;
    bool installed =
        !fs::exists(programDir / kWindowModuleName, ec) && !windowModulePath(programDir).empty();
    // Root may write to every folder, so writability alone would put root's data in /usr/bin.
    if (!installed && ::access(programDir.c_str(), W_OK) == 0) return programDir;
    // The base directory rules: a relative value is to be ignored.
    if (xdgDataHome && xdgDataHome[0] == '/') return fs::path(xdgDataHome) / "korvanto";
    return fs::path(userHome && userHome[0] ? userHome : "/") / ".local" / "share" / "korvanto";
}

std::string prepareHome(const fs::path& home, bool ownerOnly) {
    std::error_code ec;
    fs::path absolute = fs::absolute(home, ec).lexically_normal();
    if (!absolute.has_filename()) absolute = absolute.parent_path();
    if (!fs::is_directory(absolute, ec)) {
        fs::create_directories(absolute.parent_path(), ec);
        if (::mkdir(absolute.c_str(), ownerOnly ? 0700 : 0777) != 0 && errno != EEXIST)
            throw FileError(fromNativePath(absolute) + ": " + std::strerror(errno));
    }
    return withTrailingDelimiter(fromNativePath(absolute));
}

}  // namespace korv
