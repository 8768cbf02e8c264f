#include "mail/mime/header_text.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "mail/mime/mime_message.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

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

namespace {

// A line of a header: a field (a name without blanks or control bytes, blanks allowed before the
// colon), a continuation, or the mailbox's "From " line in front of the first field. Anything
// else ends the header and starts the body, as GMime reads it too.
bool isHeaderLine(std::string_view line, bool first) {
    if (line.empty()) return false;
    if (line[0] == ' ' || line[0] == '\t') return true;
    if (first && line.starts_with("From ")) return true;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; });
}

}  // namespace

std::string base64Line(std::string_view bytes) {
    std::string out(GMIME_BASE64_ENCODE_LEN(bytes.size()), '\0');
    int state = 0;
    guint32 save = 0;
    std::size_t n = g_mime_encoding_base64_encode_close(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
        reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(n);
    std::erase_if(out, [](char c) { return c == '\n' || c == '\r'; });
    return out;
}

std::string_view headerBlockOf(std::string_view raw) {
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t eol = raw.find('\n', pos);
        std::size_t lineEnd = eol == std::string_view::npos ? raw.size() : eol;
        std::string_view line = raw.substr(pos, lineEnd - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!isHeaderLine(line, pos == 0)) return raw.substr(0, pos);
        if (eol == std::string_view::npos) return raw;
        pos = eol + 1;
    }
    return raw;
}

std::string_view bodyOf(std::string_view raw) {
    std::size_t pos = headerBlockOf(raw).size();
    if (pos >= raw.size()) return {};
    // The blank line between header and body is neither; a line that is no header field is
    // the body's first.
    if (raw[pos] == '\n') return raw.substr(pos + 1);
    if (raw.compare(pos, 2, "\r\n") == 0) return raw.substr(pos + 2);
    return raw.substr(pos);
}

std::optional<std::string> findHeaderField(std::string_view header, std::string_view name) {
    std::string want = asciiLower(name);
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
            if (equalsIgnoringCase(fieldName, want)) {
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
        if (!pendingBytes.empty() && !equalsIgnoringCase(pendingCharset, word.charset))
            flushWords();
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
                        base64Line(chunkBytes) + "?=");
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

std::optional<std::string> headerField(std::string_view header, std::string_view name) {
    ensureMimeInitialised();
    auto raw = findHeaderField(header, name);
    if (!raw) return std::nullopt;
    return decodeHeaderText(*raw);
}

}  // namespace korv::mail
