#include "platform/codepage.h"

#include <iconv.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <cerrno>
#include <map>
#include <memory>
#include <stdexcept>

#include "platform/text.h"

namespace korv {
namespace {

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

// CP932 and the aliases mail uses for it all go through windows-31j, so the NEC and IBM
// extension characters survive.
std::string icuName(std::string_view charset) {
    std::string name = asciiLower(charset);
    if (name == "shift_jis" || name == "shift-jis" || name == "sjis" || name == "x-sjis" ||
        name == "cp932" || name == "ms932" || name == "windows-31j" || name == "ms_kanji" ||
        name == "csshiftjis" || name == "x-ms-cp932")
        return "windows-31j";
    if (name == "iso-2022-jp" || name == "csiso2022jp" || name == "iso-2022-jp-ms" ||
        name == "iso-2022-jp-1" || name == "iso-2022-jp-2")
        return "ISO-2022-JP";
    return name;
}

// A byte that its charset cannot decode becomes U+FFFD, and from there '?'. ICU's own choice is
// U+001A for a single bad byte in most multi-byte charsets, which CP932's table turns into DEL.
void toReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                            UConverterCallbackReason reason, UErrorCode* err) {
    if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing to write
    static const UChar replacement = 0xFFFD;
    *err = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, err);
}

// Opening an ICU converter costs more than most conversions, and paths are converted for every
// file access: each thread keeps the converters it opened. nullptr for an unknown charset.
UConverter* open(const std::string& name) {
    thread_local std::map<std::string, Converter> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        UErrorCode err = U_ZERO_ERROR;
        UConverter* c = ucnv_open(name.c_str(), &err);
        if (U_FAILURE(err)) {
            c = nullptr;
        } else {
            ucnv_setToUCallBack(c, toReplacementCharacter, nullptr, nullptr, nullptr, &err);
        }
        it = cache.emplace(name, Converter(c)).first;
    }
    if (it->second) ucnv_reset(it->second.get());
    return it->second.get();
}

// ICU's windows-31j is IBM's table, which swaps the control codes 0x1A, 0x1C and 0x7F among
// themselves; the Windows code page maps every control code to itself. What ICU makes of the
// three is read once, and both directions are set right around it.
struct ControlSwap {
    char16_t fromIcu[128];  // what ICU's U+00xx stands for
    char16_t toIcu[128];    // what to hand ICU for U+00xx
    bool needed = false;
};

const ControlSwap& cp932ControlSwap(UConverter* cp932) {
    static const ControlSwap swap = [cp932] {
        ControlSwap s{};
        for (char16_t c = 0; c < 128; ++c) s.fromIcu[c] = s.toIcu[c] = c;
        for (unsigned char b : {0x1A, 0x1C, 0x7F}) {
            const char byte = static_cast<char>(b);
            UChar u = 0;
            UErrorCode err = U_ZERO_ERROR;
            ucnv_reset(cp932);
            int32_t n = ucnv_toUChars(cp932, &u, 1, &byte, 1, &err);
            if (U_FAILURE(err) || n != 1 || u >= 128 || u == b) continue;
            s.fromIcu[u] = b;
            s.toIcu[b] = u;
            s.needed = true;
        }
        ucnv_reset(cp932);
        return s;
    }();
    return swap;
}

void swapControls(std::u16string& text, const char16_t (&map)[128]) {
    for (char16_t& c : text)
        if (c < 128) c = map[c];
}

bool isAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

std::u16string decode(std::string_view bytes, UConverter* conv) {
    std::u16string out(bytes.size() * 2 + 16, u'\0');
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(conv, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                              static_cast<int32_t>(bytes.size()), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<std::size_t>(n) + 1);
        err = U_ZERO_ERROR;
        n = ucnv_toUChars(conv, out.data(), static_cast<int32_t>(out.size()), bytes.data(),
                          static_cast<int32_t>(bytes.size()), &err);
    }
    if (U_FAILURE(err)) return {};
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string encode(const std::u16string& text, UConverter* conv, bool* lossy) {
    if (lossy) {
        *lossy = false;
        UErrorCode err = U_ZERO_ERROR;
        ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
    } else {
        UErrorCode err = U_ZERO_ERROR;
        ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr,
                              &err);
        ucnv_setSubstChars(conv, "?", 1, &err);
    }
    std::string out(text.size() * 4 + 16, '\0');
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()), text.data(),
                                static_cast<int32_t>(text.size()), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<std::size_t>(n) + 1);
        err = U_ZERO_ERROR;
        ucnv_resetFromUnicode(conv);
        n = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()), text.data(),
                            static_cast<int32_t>(text.size()), &err);
    }
    if (U_FAILURE(err)) {
        if (lossy) *lossy = true;
        return {};
    }
    out.resize(static_cast<std::size_t>(n));
    return out;
}

UConverter* openCp932() {
    UConverter* c = open("windows-31j");
    if (!c) throw std::runtime_error("ICU converter windows-31j is missing");
    return c;
}

std::u16string decodeCp932(std::string_view cp932) {
    UConverter* conv = openCp932();
    const ControlSwap& swap = cp932ControlSwap(conv);
    std::u16string text = decode(cp932, conv);
    if (swap.needed) swapControls(text, swap.fromIcu);
    return text;
}

std::string encodeCp932(std::u16string text, bool* lossy) {
    UConverter* conv = openCp932();
    const ControlSwap& swap = cp932ControlSwap(conv);
    if (swap.needed) swapControls(text, swap.toIcu);
    return encode(text, conv, lossy);
}

}  // namespace

// ASCII is the same in CP932 (windows-31j keeps 0x5C and 0x7E) and UTF-8.
std::string cp932ToUtf8(std::string_view cp932) {
    if (isAscii(cp932)) return std::string(cp932);
    return encode(decodeCp932(cp932), open("utf-8"), nullptr);
}

std::string utf8ToCp932(std::string_view utf8) {
    if (isAscii(utf8)) return std::string(utf8);
    return toCp932(utf8, "utf-8");
}

std::string toCp932(std::string_view bytes, std::string_view charset) {
    std::string name = icuName(charset);
    if (name.empty() || name == "windows-31j") return std::string(bytes);
    UConverter* from = open(name);
    if (!from) return std::string(bytes);
    return encodeCp932(decode(bytes, from), nullptr);
}

bool fromCp932(std::string_view cp932, std::string_view charset, std::string& out) {
    std::string name = icuName(charset);
    UConverter* to = open(name);
    if (!to) return false;
    std::u16string text = decodeCp932(cp932);
    bool lossy = false;
    out = name == "windows-31j" ? encodeCp932(std::move(text), &lossy) : encode(text, to, &lossy);
    return !lossy;
}

namespace {

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Opening a descriptor costs more than converting a short run: each thread keeps the ones it
// opened, as with ICU. nullptr for a charset the C library does not know.
iconv_t openIconvToUtf8(const std::string& charset) {
    thread_local std::map<std::string, std::unique_ptr<void, IconvCloser>> cache;
    auto it = cache.find(charset);
    if (it == cache.end()) {
        iconv_t cd = iconv_open("UTF-8", charset.c_str());
        it = cache.emplace(charset, cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd).first;
    }
    auto cd = static_cast<iconv_t>(it->second.get());
    if (cd) iconv(cd, nullptr, nullptr, nullptr, nullptr);
    return cd;
}

// iconv to UTF-8, one U+FFFD for each byte it cannot take.
bool iconvToUtf8(std::string_view bytes, const std::string& charset, std::string& out) {
    iconv_t cd = openIconvToUtf8(charset);
    if (!cd) return false;
    out.clear();
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char chunk[4096];
    while (inLeft > 0) {
        char* o = chunk;
        std::size_t oLeft = sizeof chunk;
        std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(chunk, sizeof chunk - oLeft);
        if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        out += "\xEF\xBF\xBD";  // EILSEQ or a character cut off at the end
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* o = chunk;
    std::size_t oLeft = sizeof chunk;
    iconv(cd, nullptr, nullptr, &o, &oLeft);
    out.append(chunk, sizeof chunk - oLeft);
    return true;
}

}  // namespace

bool toUtf8(std::string_view bytes, std::string_view charset, std::string& out) {
    std::string name = icuName(charset);
    if (name.empty()) return false;  // ICU would take the default converter
    if (name == "windows-31j") {
        out = cp932ToUtf8(bytes);
        return true;
    }
    UConverter* from = open(name);
    if (!from) return iconvToUtf8(bytes, name, out);
    out = encode(decode(bytes, from), open("utf-8"), nullptr);
    return true;
}

bool isUtf8(std::string_view s) {
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

std::size_t cp932CharCount(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i, ++n)
        if (isLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size()) ++i;
    return n;
}

}  // namespace korv
