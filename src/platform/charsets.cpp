#include "platform/charsets.h"

#include "platform/codepage.h"
#include "platform/text.h"

namespace korv {
namespace {

bool isIso2022jp(std::string_view charset) {
    return startsWithIgnoringCase(charset, "iso-2022-jp") ||
           equalsIgnoringCase(charset, "csiso2022jp");
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

}  // namespace

std::string textToCp932(std::string_view bytes, std::string_view charset) {
    if (isIso2022jp(charset)) return iso2022jpToCp932(bytes);
    std::string name = asciiLower(charset);
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

}  // namespace korv
