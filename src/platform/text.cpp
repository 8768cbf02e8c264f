#include "platform/text.h"

#include <cctype>

#include "platform/codepage.h"
#include "platform/file_error.h"

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
    // The text between two breaks goes in as one piece.
    std::size_t from = 0;
    for (std::size_t i = text.find_first_of("\r\n"); i != std::string_view::npos;
         i = text.find_first_of("\r\n", from)) {
        out.append(text.substr(from, i - from)).append(with);
        from = i + lineBreakAt(text, i);
    }
    out.append(text.substr(from));
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

int parseInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    long long value = 0;
    bool any = false;
    for (; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int digit = std::isdigit(c)                    ? c - '0'
                    : (base == 16 && std::isxdigit(c)) ? std::tolower(c) - 'a' + 10
                                                       : -1;
        if (digit < 0) {
            any = false;
            break;
        }
        value = value * base + digit;
        any = true;
        if (value > 0x80000000LL) break;
    }
    if (!any || i != text.size() || value > 0x80000000LL || (!negative && value > 0x7FFFFFFF))
        throw ConversionError("'" + text + "' は整数ではありません"_cp);
    return static_cast<int>(negative ? -value : value);
}

}  // namespace korv
