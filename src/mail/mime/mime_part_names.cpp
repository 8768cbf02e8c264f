// The names of message parts: file-name parameters as mailers write them, and what a part
// without one is called.
#include "mail/mime/mime_part_names.h"

#include <algorithm>
#include <map>
#include <vector>

#include "mail/mime/header_text.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

std::string trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Parameter {
    std::string key;  // lower case
    std::string value;
};

// The parameters of a raw Content-Type or Content-Disposition value, in order, unfolded, in one
// pass. A quoted string takes backslash escapes, but raw 8-bit names are bytes of their charset:
// in Shift-JIS (any 8-bit value that is not UTF-8) a lead byte takes the next byte with it, so
// the 0x5C trail byte of 表 or ソ is no escape; inside a double-byte run of raw ISO-2022-JP no
// byte quotes or escapes.
std::vector<Parameter> parameters(std::string_view raw) {
    const bool eightBit = std::any_of(raw.begin(), raw.end(),
                                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    const bool shiftJis = eightBit && !isUtf8(raw);
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::vector<Parameter> out;
    std::size_t pos = raw.find(';');
    const std::size_t n = raw.size();
    while (pos < n) {
        ++pos;  // past ';'
        std::size_t keyEnd = pos;
        while (keyEnd < n && raw[keyEnd] != '=' && raw[keyEnd] != ';') ++keyEnd;
        if (keyEnd >= n || raw[keyEnd] == ';') {  // a parameter without value
            pos = keyEnd;
            continue;
        }
        Parameter p{asciiLower(trim(raw.substr(pos, keyEnd - pos))), {}};
        std::size_t v = keyEnd + 1;
        while (v < n && blank(raw[v])) ++v;
        if (v < n && raw[v] == '"') {
            bool jisDouble = false;
            for (++v; v < n; ++v) {
                unsigned char c = static_cast<unsigned char>(raw[v]);
                if (c == 0x1B && v + 1 < n) {  // ESC $ ... starts double bytes, ESC ( ... ends them
                    jisDouble = raw[v + 1] == '$';
                } else if (jisDouble && c != '\r' && c != '\n') {
                    p.value += static_cast<char>(c);
                    continue;
                } else if (c == '"') {
                    break;
                }
                if (c == '\r' || c == '\n') continue;
                if (shiftJis && isLeadByte(c) && v + 1 < n) {
                    unsigned char t = static_cast<unsigned char>(raw[v + 1]);
                    if (t >= 0x40 && t <= 0xFC && t != 0x7F) {
                        p.value += raw.substr(v, 2);
                        ++v;
                        continue;
                    }
                }
                if (c == '\\' && v + 1 < n) ++v;
                p.value += raw[v];
            }
            pos = raw.find(';', v);
        } else {
            std::size_t end = raw.find(';', v);
            for (char c : raw.substr(v, end == std::string_view::npos ? n - v : end - v))
                if (c != '\r' && c != '\n') p.value += c;
            p.value = trim(p.value);
            pos = end;
        }
        out.push_back(std::move(p));
    }
    return out;
}

// A file-name parameter (name or filename) of a raw Content-Type/-Disposition value, decoded to
// CP932: plain, RFC 2047 words inside quotes (common in Japanese mail), or RFC 2231 with
// continuations. Charsets go through ICU, not GMime's iconv.
std::optional<std::string> fileNameParameter(std::string_view raw, std::string_view want) {
    std::optional<std::string> plain;
    std::string charset;
    std::map<int, std::pair<std::string, bool>> pieces;  // index -> (value, percent-encoded)
    const std::string continued = std::string(want) + "*";
    for (Parameter& p : parameters(raw)) {
        if (p.key == want) {
            plain = std::move(p.value);
            continue;
        }
        if (p.key.rfind(continued, 0) != 0) continue;
        std::string rest = p.key.substr(continued.size());
        bool encoded = !rest.empty() && rest.back() == '*';
        if (encoded) rest.pop_back();
        if (rest.empty()) {
            encoded = true;       // name*=charset'lang'value
            rest.assign(1, '0');  // not = "0": GCC 12 warns falsely (-Wrestrict)
        }
        if (rest.find_first_not_of("0123456789") != std::string::npos) continue;
        int index = std::stoi(rest.substr(0, 6));
        std::string value = std::move(p.value);
        if (index == 0 && encoded) {
            std::size_t q1 = value.find('\'');
            std::size_t q2 = q1 == std::string::npos ? q1 : value.find('\'', q1 + 1);
            if (q2 != std::string::npos) {
                charset = value.substr(0, q1);
                value = value.substr(q2 + 1);
            }
        }
        pieces[index] = {std::move(value), encoded};
    }
    if (!pieces.empty()) {
        std::string bytes;
        for (auto& [index, piece] : pieces)
            bytes += piece.second ? percentDecode(piece.first) : piece.first;
        return charset.empty() ? guessToCp932(bytes) : textToCp932(bytes, charset);
    }
    if (plain) return decodeHeaderText(*plain);
    return std::nullopt;
}

std::string rawHeaderValue(GMimeObject* obj, const char* name) {
    GMimeHeaderList* list = g_mime_object_get_header_list(obj);
    GMimeHeader* header = list ? g_mime_header_list_get_header(list, name) : nullptr;
    const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
    return raw ? std::string(raw) : std::string();
}

}  // namespace

std::optional<std::string> partFileName(GMimeObject* obj) {
    if (auto n = fileNameParameter(rawHeaderValue(obj, "Content-Disposition"), "filename"))
        return n;
    return fileNameParameter(rawHeaderValue(obj, "Content-Type"), "name");
}

// The usual extension of a type, for parts that come without a name.
std::string extensionForType(const std::string& type) {
    static const std::map<std::string, std::string> known = {
        {"image/jpeg", ".jpg"},
        {"image/jpg", ".jpg"},
        {"image/pjpeg", ".jpg"},
        {"image/png", ".png"},
        {"image/x-png", ".png"},
        {"image/gif", ".gif"},
        {"image/bmp", ".bmp"},
        {"image/webp", ".webp"},
        {"image/heic", ".heic"},
        {"image/tiff", ".tif"},
        {"image/svg+xml", ".svg"},
        {"audio/mpeg", ".mp3"},
        {"audio/amr", ".amr"},
        {"audio/wav", ".wav"},
        {"video/mp4", ".mp4"},
        {"video/3gpp", ".3gp"},
        {"video/3gpp2", ".3g2"},
        {"video/quicktime", ".mov"},
        {"application/pdf", ".pdf"},
        {"application/zip", ".zip"},
        {"application/x-lzh", ".lzh"},
        {"application/x-lzh-compressed", ".lzh"},
        {"application/gzip", ".gz"},
        {"application/json", ".json"},
        {"application/xml", ".xml"},
        {"application/rtf", ".rtf"},
        {"application/msword", ".doc"},
        {"application/vnd.ms-excel", ".xls"},
        {"application/vnd.ms-powerpoint", ".ppt"},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", ".docx"},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", ".xlsx"},
        {"application/vnd.openxmlformats-officedocument.presentationml.presentation", ".pptx"},
        {"message/rfc822", ".eml"},
        {"text/plain", ".txt"},
        {"text/html", ".html"},
        {"text/csv", ".csv"},
        {"text/comma-separated-values", ".csv"},
        {"text/tab-separated-values", ".tsv"},
        {"text/calendar", ".ics"},
        {"text/vcard", ".vcf"},
        {"text/x-vcard", ".vcf"},
        {"text/xml", ".xml"},
        {"text/rtf", ".rtf"},
    };
    auto it = known.find(type);
    if (it != known.end()) return it->second;
    return type.rfind("text/", 0) == 0 ? ".txt" : ".bin";
}

}  // namespace korv::mail
