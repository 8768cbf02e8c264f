#pragma once
// The program keeps every text as CP932 bytes; these are the only conversions in and out. CP932
// is the Windows code page: every control code stands for itself. A byte that its charset
// cannot decode becomes U+FFFD, and '?' in CP932.
#include <string>
#include <string_view>

namespace korv {

std::string cp932ToUtf8(std::string_view cp932);
// Characters CP932 cannot hold become '?'.
std::string utf8ToCp932(std::string_view utf8);
// Converts text in any charset ICU knows (as named in mail headers) to CP932; unknown charsets
// are taken as CP932 already. Characters CP932 cannot hold become '?'.
std::string toCp932(std::string_view bytes, std::string_view charset);
// Converts CP932 text to another charset; returns false when a character cannot be represented.
bool fromCp932(std::string_view cp932, std::string_view charset, std::string& out);
// Text in a charset to UTF-8, through ICU or, for the few that ICU lacks (the JIS X 0213 family:
// EUC-JISX0213, SHIFT_JISX0213), the C library's iconv. Broken bytes become U+FFFD; false for a
// charset neither knows.
bool toUtf8(std::string_view bytes, std::string_view charset, std::string& out);

// True for the first byte of a double-byte CP932 character.
inline bool isLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
// True when the bytes are well-formed UTF-8 (ASCII is).
bool isUtf8(std::string_view bytes);
// Number of characters (not bytes) in CP932 text.
std::size_t cp932CharCount(std::string_view cp932);

// Source files are UTF-8; "開始"_cp is the same text as the program keeps it, in CP932.
inline std::string operator""_cp(const char* utf8, std::size_t n) {
    return utf8ToCp932(std::string_view(utf8, n));
}

}  // namespace korv
