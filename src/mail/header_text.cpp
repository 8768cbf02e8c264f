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

bool sameCharset(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
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

// Unicode text from Unix and Mac mailers uses the JIS reading of a few characters (WAVE DASH,
// MINUS SIGN, ...) that CP932 holds only under their Windows code points.
std::string utf8ToCp932Japanese(std::string_view utf8);

// The graphic sets that ISO-2022-JP and its -1, -2, -3 and -2004 forms designate to G0.
enum class Set {
    Ascii,
    Kana,
    Jis0208,
    Jis0213Plane1,
    Jis0213Plane2,
    Jis0212,
    Gb2312,
    Ksc5601,
    Unknown94,     // one byte a character, none we can map
    Unknown94x94,  // two bytes a character, none we can map
};

struct Designation {
    std::string_view sequence;  // after ESC
    Set set;
};

constexpr Designation kDesignations[] = {
    {"(B", Set::Ascii},          {"(J", Set::Ascii},          {"(H", Set::Ascii},
    {"(I", Set::Kana},           {"$@", Set::Jis0208},        {"$B", Set::Jis0208},
    {"$(B", Set::Jis0208},       {"$(O", Set::Jis0213Plane1}, {"$(Q", Set::Jis0213Plane1},
    {"$(P", Set::Jis0213Plane2}, {"$(D", Set::Jis0212},       {"$A", Set::Gb2312},
    {"$(A", Set::Gb2312},        {"$(C", Set::Ksc5601},
};

// Codes of the sets whose rows CP932 does not share go to Unicode in their EUC form (JIS X 0213
// through the C library, the others through ICU), a run at a time, then to CP932.
class ForeignRun {
  public:
    explicit ForeignRun(std::string& out) : out_(out) {}
    void add(Set set, unsigned char j1, unsigned char j2) {
        if (set != set_) flush();
        set_ = set;
        if (set == Set::Jis0213Plane2 || set == Set::Jis0212) euc_ += '\x8F';
        euc_ += static_cast<char>(j1 | 0x80);
        euc_ += static_cast<char>(j2 | 0x80);
        ++count_;
    }
    void flush() {
        if (euc_.empty()) return;
        std::string utf8;
        if (toUtf8(euc_, charset(), utf8))
            out_ += utf8ToCp932Japanese(utf8);
        else
            out_.append(count_, '?');
        euc_.clear();
        count_ = 0;
    }

  private:
    const char* charset() const {
        switch (set_) {
            case Set::Jis0213Plane1:
            case Set::Jis0213Plane2:
                return "EUC-JISX0213";
            case Set::Jis0212:
                return "EUC-JP";
            case Set::Gb2312:
                return "GB2312";
            default:
                return "EUC-KR";
        }
    }
    std::string& out_;
    std::string euc_;
    std::size_t count_ = 0;
    Set set_ = Set::Ascii;
};

// ISO-2022-JP (with the NEC and IBM rows that Japanese mailers send, and the sets of its later
// forms) to CP932 bytes. Escape sequences, SO and SI never reach the text; a character CP932
// lacks becomes '?'. The result goes once through ICU so that NEC-selected IBM codes take their
// usual CP932 form.
std::string iso2022jpToCp932(std::string_view in) {
    Set mode = Set::Ascii;
    Set beforeShiftOut = Set::Ascii;
    char g2 = 0;  // 'A' Latin-1 or 'F' Greek, for ESC N
    std::string sjis;
    ForeignRun foreign(sjis);
    auto put = [&](char c) {
        foreign.flush();
        sjis += c;
    };
    for (std::size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0x1B) {
            // ESC, intermediate bytes 0x20-0x2F, one final byte.
            std::size_t end = i + 1;
            while (end < in.size() && in[end] >= 0x20 && in[end] <= 0x2F) ++end;
            if (end >= in.size()) break;  // cut off: nothing of it is text
            if (in[end] < 0x30 || in[end] > 0x7E) {
                i = end - 1;  // no escape after all; what follows is text again
                continue;
            }
            std::string_view sequence = in.substr(i + 1, end - i);
            i = end;
            bool known = false;
            for (const auto& d : kDesignations) {
                if (sequence == d.sequence) {
                    mode = d.set;
                    known = true;
                }
            }
            if (known) continue;
            if (sequence == ".A" || sequence == ".F") {
                g2 = sequence[1];
            } else if (sequence == "N" || sequence == "O") {
                // A single shift: one character of G2 (or of G3, which nothing here designates).
                if (i + 1 < in.size()) {
                    unsigned char b = static_cast<unsigned char>(in[++i]);
                    foreign.flush();
                    if (sequence == "N" && g2 && b >= 0x20 && b < 0x80)
                        sjis += toCp932(std::string(1, static_cast<char>(b | 0x80)),
                                        g2 == 'A' ? "ISO-8859-1" : "ISO-8859-7");
                    else
                        sjis += '?';
                }
            } else if (sequence[0] == '$' && (sequence.size() == 2 || sequence[1] == '(')) {
                mode = Set::Unknown94x94;
            } else if (sequence.size() == 2 && sequence[0] == '(') {
                mode = Set::Unknown94;
            }
            // Anything else (the ESC & @ announcer, G1-G3 designations) leaves the text as it is.
            continue;
        }
        if (c == 0x0E) {  // SO: half-width katakana until SI
            if (mode != Set::Kana) beforeShiftOut = mode;
            mode = Set::Kana;
            continue;
        }
        if (c == 0x0F) {
            if (mode == Set::Kana) mode = beforeShiftOut;
            continue;
        }
        if (c < 0x21 || c == 0x7F || mode == Set::Ascii) {
            put(static_cast<char>(c));  // line ends and blanks stand in every set
            continue;
        }
        if (mode == Set::Kana || mode == Set::Unknown94) {
            put(mode == Set::Kana && c <= 0x5F ? static_cast<char>(c + 0x80) : '?');
            continue;
        }
        // A two-byte set: the pair must be whole and inside the 94x94 square.
        unsigned char d = i + 1 < in.size() ? static_cast<unsigned char>(in[i + 1]) : 0;
        if (c > 0x7E || d < 0x21 || d > 0x7E) {
            put('?');
            continue;
        }
        ++i;
        if (mode == Set::Jis0208) {
            foreign.flush();
            jisToSjis(c, d, sjis);
        } else if (mode == Set::Unknown94x94) {
            put('?');
        } else {
            foreign.add(mode, c, d);
        }
    }
    foreign.flush();
    return utf8ToCp932(cp932ToUtf8(sjis));
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

// The next place of something at or after a position. A scan asks for positions that never go
// back, so the answer of the last search stands until the scan passes it: each byte is searched
// once, however many "=?" openers a header holds.
class NextFinder {
  public:
    NextFinder(std::string_view text, std::string_view any, bool sequence)
        : text_(text), what_(any), sequence_(sequence) {}
    std::size_t from(std::size_t pos) {
        if (!valid_ || (found_ != std::string_view::npos && pos > found_)) {
            found_ = sequence_ ? text_.find(what_, pos) : text_.find_first_of(what_, pos);
            valid_ = true;
        }
        return found_;
    }

  private:
    std::string_view text_, what_;
    bool sequence_;
    bool valid_ = false;
    std::size_t found_ = 0;
};

struct WordScan {
    explicit WordScan(std::string_view s)
        : question(s, "?", false), close(s, "?=", true), blank(s, " \t\r\n", false) {}
    NextFinder question, close, blank;
};

// An encoded word starting at pos ("=?charset?B|Q?text?=", no blank inside), if one does.
bool parseEncodedWord(std::string_view s, std::size_t pos, WordScan& scan, EncodedWord& word) {
    if (s.compare(pos, 2, "=?") != 0) return false;
    std::size_t q1 = scan.question.from(pos + 2);
    if (q1 == std::string_view::npos || q1 + 2 >= s.size() || s[q1 + 2] != '?') return false;
    char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
    if (enc != 'B' && enc != 'Q') return false;
    std::size_t textStart = q1 + 3;
    std::size_t close = scan.close.from(textStart);
    if (close == std::string_view::npos) return false;
    std::size_t blank = scan.blank.from(pos);
    if (blank != std::string_view::npos && blank < close) return false;
    std::string charset(s.substr(pos + 2, q1 - pos - 2));
    if (auto star = charset.find('*'); star != std::string::npos) charset.resize(star);
    if (charset.empty()) return false;
    std::string_view text = s.substr(textStart, close - textStart);
    word.charset = std::move(charset);
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
        if (c == 0x1B || c == 0x0E || c == 0x0F) esc = true;  // escapes, SO and SI
    }
    if (esc && !eight) return iso2022jpToCp932(bytes);
    if (!eight) return std::string(bytes);
    if (isUtf8(bytes)) return utf8ToCp932Japanese(bytes);
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
    if (raw.size() > kMaxDecodedHeaderBytes) raw = raw.substr(0, kMaxDecodedHeaderBytes);
    std::string out;
    std::string pendingCharset, pendingBytes;
    auto flushWords = [&] {
        if (!pendingBytes.empty()) out += textToCp932(pendingBytes, pendingCharset);
        pendingBytes.clear();
        pendingCharset.clear();
    };
    WordScan scan(raw);
    std::size_t pos = 0;
    std::size_t plainStart = 0;
    bool lastWasWord = false;
    while ((pos = raw.find("=?", pos)) != std::string_view::npos) {
        EncodedWord word;
        if (!parseEncodedWord(raw, pos, scan, word)) {
            ++pos;
            continue;
        }
        std::string_view between = raw.substr(plainStart, pos - plainStart);
        bool onlyBlanks = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (!(lastWasWord && onlyBlanks)) {
            flushWords();
            out += guessToCp932(between);
        }
        // Words of one charset are joined first: senders split characters across words.
        if (!pendingBytes.empty() && !sameCharset(pendingCharset, word.charset)) flushWords();
        pendingCharset = std::move(word.charset);
        pendingBytes += word.bytes;
        pos = word.end;
        plainStart = pos;
        lastWasWord = true;
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
