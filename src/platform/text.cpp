#include "platform/text.h"

#include "platform/codepage.h"

namespace korv {
namespace {

char lowerByte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool doubleByteAt(std::string_view s, std::size_t i) {
    return isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size();
}

}  // namespace

std::string asciiLower(std::string_view cp932) {
    std::string out(cp932);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (doubleByteAt(out, i))
            ++i;
        else
            out[i] = lowerByte(out[i]);
    }
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (doubleByteAt(a, i)) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (lowerByte(a[i]) != lowerByte(b[i])) {
            return false;
        }
    }
    return true;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string replaceLineBreaks(std::string_view text, std::string_view with) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size();) {
        if (std::size_t n = lineBreakAt(text, i)) {
            out += with;
            i += n;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (std::size_t n = lineBreakAt(text, i)) {
            lines.emplace_back(text.substr(start, i - start));
            start = i += n;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

}  // namespace korv
