#include "mail/header_text.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/codepage.h"

namespace korv::mail {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool isIso2022jp(std::string_view charset) {
    std::string name = lower(charset);
    return name.rfind("iso-2022-jp", 0) == 0 || name == "csiso2022jp";
}

// One JIS X 0208 code (rows 0x21..0x7E) to its Shift-JIS bytes.
void jisToSjis(unsigned char j1, unsigned char j2, std::string& out) {
    unsigned char s1 = static_cast<unsigned char>(((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0));
    unsigned char s2;
    if (j1 & 1)
        s2 = static_cast<unsigned char>(j2 + (j2 >= 0x60 ? 0x20 : 0x1F));
    else
        s2 = static_cast<unsigned char>(j2 + 0x7E);
    out += static_cast<char>(s1);
    out += static_cast<char>(s2);
}

// Shift-JIS bytes to the JIS row and cell; false outside the 94x94 square.
bool sjisToJis(unsigned char s1, unsigned char s2, unsigned char& j1, unsigned char& j2) {
    if (!((s1 >= 0x81 && s1 <= 0x9F) || (s1 >= 0xE0 && s1 <= 0xEF))) return false;
    if (s2 < 0x40 || s2 > 0xFC || s2 == 0x7F) return false;
    int row = (s1 <= 0x9F ? s1 - 0x70 : s1 - 0xB0) * 2;
    int cell;
    if (s2 < 0x9F) {
        row -= 1;
        cell = s2 - (s2 >= 0x80 ? 0x20 : 0x1F);
    } else {
        cell = s2 - 0x7E;
    }
    j1 = static_cast<unsigned char>(row);
    j2 = static_cast<unsigned char>(cell);
    return true;
}

// ISO-2022-JP (with the NEC and IBM rows that Japanese mailers send) to CP932 bytes. The result
// goes once through ICU so that NEC-selected IBM codes take their usual CP932 form.
std::string iso2022jpToCp932(std::string_view in) {
    enum class Mode { Ascii, Jis, Kana, Other } mode = Mode::Ascii;
    std::string sjis;
    for (std::size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0x1B) {
            std::string_view esc = in.substr(i + 1, 3);
            if (esc.substr(0, 2) == "(B" || esc.substr(0, 2) == "(J") {
                mode = Mode::Ascii;
                i += 2;
            } else if (esc.substr(0, 2) == "$@" || esc.substr(0, 2) == "$B") {
                mode = Mode::Jis;
                i += 2;
            } else if (esc.substr(0, 2) == "(I") {
                mode = Mode::Kana;
                i += 2;
            } else if (esc.substr(0, 3) == "$(D" || esc.substr(0, 2) == "$A" ||
                       esc.substr(0, 3) == "$(C" || esc.substr(0, 2) == ".A" ||
                       esc.substr(0, 2) == ".F") {
                mode = Mode::Other;
                i += esc[1] == '(' ? 3 : 2;
            }
            continue;
        }
        if (c == '\r' || c == '\n') {
            sjis += static_cast<char>(c);
            continue;
        }
        switch (mode) {
            case Mode::Ascii:
                sjis += static_cast<char>(c);
                break;
            case Mode::Kana:
                if (c >= 0x21 && c <= 0x5F)
                    sjis += static_cast<char>(c + 0x80);
                else
                    sjis += '?';
                break;
            case Mode::Jis:
            case Mode::Other:
                if (i + 1 < in.size()) {
                    unsigned char d = static_cast<unsigned char>(in[i + 1]);
                    ++i;
                    if (mode == Mode::Jis && c >= 0x21 && c <= 0x7E && d >= 0x21 && d <= 0x7E)
                        jisToSjis(c, d, sjis);
                    else
                        sjis += '?';
                } else {
                    sjis += '?';
                }
                break;
        }
    }
    return utf8ToCp932(cp932ToUtf8(sjis));
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80             ? 0
                : (c & 0xE0) == 0xC0 ? 1
                : (c & 0xF0) == 0xE0 ? 2
                : (c & 0xF8) == 0xF0 ? 3
                                     : -1;
        if (n < 0) return false;
        for (int k = 1; k <= n; ++k)
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += static_cast<std::size_t>(n) + 1;
    }
    return true;
}

// Unicode text from Unix and Mac mailers uses the JIS reading of a few characters (WAVE DASH,
// MINUS SIGN, ...) that CP932 holds only under their Windows code points.
std::string utf8ToCp932Japanese(std::string_view utf8) {
    static const std::pair<std::string_view, std::string_view> kSwap[] = {
        {"\xE3\x80\x9C", "\xEF\xBD\x9E"},  // WAVE DASH -> FULLWIDTH TILDE
        {"\xE2\x88\x92", "\xEF\xBC\x8D"},  // MINUS SIGN -> FULLWIDTH HYPHEN-MINUS
        {"\xE2\x80\x96", "\xE2\x88\xA5"},  // DOUBLE VERTICAL LINE -> PARALLEL TO
        {"\xE2\x80\x94", "\xE2\x80\x95"},  // EM DASH -> HORIZONTAL BAR
        {"\xC2\xA2", "\xEF\xBF\xA0"},      // CENT SIGN -> FULLWIDTH CENT SIGN
        {"\xC2\xA3", "\xEF\xBF\xA1"},      // POUND SIGN -> FULLWIDTH POUND SIGN
        {"\xC2\xAC", "\xEF\xBF\xA2"},      // NOT SIGN -> FULLWIDTH NOT SIGN
    };
    std::string text;
    text.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        bool swapped = false;
        for (const auto& [from, to] : kSwap) {
            if (utf8.compare(i, from.size(), from) == 0) {
                text += to;
                i += from.size();
                swapped = true;
                break;
            }
        }
        if (!swapped) text += utf8[i++];
    }
    return utf8ToCp932(text);
}

std::string base64Decode(std::string_view in) {
    std::string out(in.size() * 3 / 4 + 4, '\0');
    int state = 0;
    guint32 save = 0;
    std::size_t n = g_mime_encoding_base64_decode_step(
        reinterpret_cast<const unsigned char*>(in.data()), in.size(),
        reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

// The Q encoding of RFC 2047 is quoted-printable with '_' for a blank.
std::string qDecode(std::string_view in) {
    std::string text(in);
    std::replace(text.begin(), text.end(), '_', ' ');
    std::string out(text.size() + 4, '\0');
    int state = 0;
    guint32 save = 0;
    std::size_t n = g_mime_encoding_quoted_decode_step(
        reinterpret_cast<const unsigned char*>(text.data()), text.size(),
        reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    return out;
}

std::string base64Encode(std::string_view in) {
    std::string out(in.size() * 4 / 3 + 16, '\0');
    int state = 0;
    guint32 save = 0;
    std::size_t n = g_mime_encoding_base64_encode_close(
        reinterpret_cast<const unsigned char*>(in.data()), in.size(),
        reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

struct EncodedWord {
    std::size_t end = 0;  // one past "?="
    std::string charset;
    std::string bytes;
};

// An encoded word starting at pos ("=?charset?B|Q?text?="), if one does.
bool parseEncodedWord(std::string_view s, std::size_t pos, EncodedWord& word) {
    if (s.compare(pos, 2, "=?") != 0) return false;
    std::size_t q1 = s.find('?', pos + 2);
    if (q1 == std::string_view::npos || q1 + 2 >= s.size() || s[q1 + 2] != '?') return false;
    char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
    if (enc != 'B' && enc != 'Q') return false;
    std::size_t textStart = q1 + 3;
    std::size_t close = s.find("?=", textStart);
    if (close == std::string_view::npos) return false;
    std::string_view text = s.substr(textStart, close - textStart);
    if (text.find_first_of(" \t\r\n") != std::string_view::npos) return false;
    std::string charset(s.substr(pos + 2, q1 - pos - 2));
    if (auto star = charset.find('*'); star != std::string::npos) charset.resize(star);
    if (charset.empty()) return false;
    word.charset = charset;
    word.bytes = enc == 'B' ? base64Decode(text) : qDecode(text);
    word.end = close + 2;
    return true;
}

}  // namespace

std::string textToCp932(std::string_view bytes, std::string_view charset) {
    if (isIso2022jp(charset)) return iso2022jpToCp932(bytes);
    std::string name = lower(charset);
    if (name.empty() || name == "us-ascii" || name == "ascii") return guessToCp932(bytes);
    if (name == "utf-8" || name == "utf8") return utf8ToCp932Japanese(bytes);
    return toCp932(bytes, charset);
}

std::string guessToCp932(std::string_view bytes) {
    bool eight = false, esc = false;
    for (unsigned char c : bytes) {
        if (c >= 0x80) eight = true;
        if (c == 0x1B) esc = true;
    }
    if (esc && !eight) return iso2022jpToCp932(bytes);
    if (!eight) return std::string(bytes);
    if (validUtf8(bytes)) return utf8ToCp932Japanese(bytes);
    return std::string(bytes);
}

bool cp932ToIso2022jp(std::string_view cp932, std::string& out) {
    out.clear();
    bool jis = false;
    for (std::size_t i = 0; i < cp932.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(cp932[i]);
        if (c < 0x80) {
            if (c == 0x1B || c == 0x0E || c == 0x0F) return false;
            if (jis) {
                out += "\x1B(B";
                jis = false;
            }
            out += static_cast<char>(c);
            continue;
        }
        if (!isLeadByte(c) || i + 1 >= cp932.size()) return false;
        unsigned char j1, j2;
        if (!sjisToJis(c, static_cast<unsigned char>(cp932[i + 1]), j1, j2)) return false;
        // JIS X 0208 proper: rows 1-8 and 16-84 (no NEC or IBM extension rows).
        bool standard = (j1 >= 0x21 && j1 <= 0x28) || (j1 >= 0x30 && j1 <= 0x74);
        if (!standard || j2 < 0x21 || j2 > 0x7E) return false;
        if (!jis) {
            out += "\x1B$B";
            jis = true;
        }
        out += static_cast<char>(j1);
        out += static_cast<char>(j2);
        ++i;
    }
    if (jis) out += "\x1B(B";
    return true;
}

std::string_view headerBlockOf(std::string_view raw) {
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t eol = raw.find('\n', pos);
        std::size_t lineEnd = eol == std::string_view::npos ? raw.size() : eol;
        std::string_view line = raw.substr(pos, lineEnd - pos);
        if (line.empty() || line == "\r") return raw.substr(0, pos);
        if (eol == std::string_view::npos) return raw;
        pos = eol + 1;
    }
    return raw;
}

std::string_view bodyOf(std::string_view raw) {
    std::string_view header = headerBlockOf(raw);
    std::size_t pos = header.size();
    if (pos >= raw.size()) return {};
    std::size_t eol = raw.find('\n', pos);
    return eol == std::string_view::npos ? std::string_view{} : raw.substr(eol + 1);
}

std::optional<std::string> findHeaderField(std::string_view header, std::string_view name) {
    std::string want = lower(name);
    while (!want.empty() && (want.back() == ':' || want.back() == ' ')) want.pop_back();
    std::size_t pos = 0;
    while (pos < header.size()) {
        std::size_t eol = header.find('\n', pos);
        std::size_t next = eol == std::string_view::npos ? header.size() : eol + 1;
        std::string_view line = header.substr(pos, next - pos);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && line[0] != ' ' && line[0] != '\t') {
            std::string_view fieldName = line.substr(0, colon);
            while (!fieldName.empty() && (fieldName.back() == ' ' || fieldName.back() == '\t'))
                fieldName.remove_suffix(1);
            if (lower(fieldName) == want) {
                // Unfold: continuation lines lose their line break, keep their blank.
                std::string value(line.substr(colon + 1));
                while (next < header.size() && (header[next] == ' ' || header[next] == '\t')) {
                    std::size_t e = header.find('\n', next);
                    std::size_t n2 = e == std::string_view::npos ? header.size() : e + 1;
                    value += header.substr(next, n2 - next);
                    next = n2;
                }
                std::string out;
                for (char c : value)
                    if (c != '\r' && c != '\n') out += c;
                std::size_t b = out.find_first_not_of(" \t");
                if (b == std::string::npos) return std::string();
                std::size_t e = out.find_last_not_of(" \t");
                return out.substr(b, e - b + 1);
            }
        }
        pos = next;
    }
    return std::nullopt;
}

std::string decodeHeaderText(std::string_view raw) {
    std::string out;
    std::string pendingCharset, pendingBytes;
    auto flushWords = [&] {
        if (!pendingBytes.empty()) out += textToCp932(pendingBytes, pendingCharset);
        pendingBytes.clear();
        pendingCharset.clear();
    };
    std::size_t pos = 0;
    std::size_t plainStart = 0;
    bool lastWasWord = false;
    while (pos < raw.size()) {
        EncodedWord word;
        if (raw[pos] == '=' && parseEncodedWord(raw, pos, word)) {
            std::string_view between = raw.substr(plainStart, pos - plainStart);
            bool onlyBlanks = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
            if (!(lastWasWord && onlyBlanks)) {
                flushWords();
                out += guessToCp932(between);
            }
            // Words of one charset are joined first: senders split characters across words.
            if (!pendingBytes.empty() && lower(pendingCharset) != lower(word.charset)) flushWords();
            pendingCharset = word.charset;
            pendingBytes += word.bytes;
            pos = word.end;
            plainStart = pos;
            lastWasWord = true;
            continue;
        }
        ++pos;
    }
    flushWords();
    out += guessToCp932(raw.substr(plainStart));
    return out;
}

std::string encodeHeaderText(std::string_view cp932) {
    bool plain = cp932.find("=?") == std::string_view::npos;
    for (unsigned char c : cp932)
        if (c >= 0x80 || c < 0x20) plain = false;
    if (plain) return std::string(cp932);

    std::string probe;
    bool jis = cp932ToIso2022jp(cp932, probe);
    const std::size_t maxBytes = 42;  // keeps each word within 75 characters
    std::vector<std::string> words;
    std::string chunk, chunkBytes;
    auto convert = [&](std::string_view text) {
        std::string o;
        if (jis)
            cp932ToIso2022jp(text, o);
        else
            o = cp932ToUtf8(text);
        return o;
    };
    auto emit = [&] {
        if (chunk.empty()) return;
        words.push_back(std::string(jis ? "=?ISO-2022-JP?B?" : "=?UTF-8?B?") +
                        base64Encode(chunkBytes) + "?=");
        chunk.clear();
        chunkBytes.clear();
    };
    for (std::size_t i = 0; i < cp932.size();) {
        std::size_t step =
            isLeadByte(static_cast<unsigned char>(cp932[i])) && i + 1 < cp932.size() ? 2 : 1;
        std::string candidate = chunk + std::string(cp932.substr(i, step));
        std::string bytes = convert(candidate);
        if (bytes.size() > maxBytes && !chunk.empty()) {
            emit();
            continue;
        }
        chunk = candidate;
        chunkBytes = bytes;
        i += step;
    }
    emit();
    std::string out;
    for (std::size_t k = 0; k < words.size(); ++k) {
        if (k) out += "\n ";
        out += words[k];
    }
    return out;
}

std::string toCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace korv::mail
