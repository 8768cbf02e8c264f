#include "platform/file_error.h"

#include <cerrno>
#include <cstring>

#include "platform/codepage.h"

namespace korv {
namespace {

std::string reason(int err) { return utf8ToCp932(std::strerror(err)); }

}  // namespace

void throwOpenError(const std::string& path, int err) {
    throw FileError(path + utf8ToCp932(" を開けません: ") + reason(err));
}

void throwWriteError(const std::string& path, int err) {
    throw FileError(path + utf8ToCp932(" に書き込めません: ") + reason(err));
}

void throwReadError(const std::string& path, int err) {
    throw FileError(path + utf8ToCp932(" を読めません: ") + reason(err));
}

void throwLinkRefused(const std::string& path) {
    throw LinkRefused(path + utf8ToCp932(" はシンボリックリンクです (たどりません)"));
}

}  // namespace korv
