// Header values of outgoing mail: folded, Japanese text in RFC 2047 words, extra fields checked.
#include <algorithm>

#include "mail/mime/header_text.h"
#include "mail/smtp/smtp_parts.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

// Header values are folded at 78 characters; an encoded word holds at most 75 (RFC 2047).
constexpr std::size_t kFoldAt = 78;
constexpr std::size_t kMaxEncodedWord = 75;
constexpr std::size_t kMaxLine = 998;
constexpr std::size_t kMaxGap = 8;  // longer runs of blanks go inside encoded words

// Builds a folded header value: tokens go on the current line while it stays within 78
// characters, else a new line begins with the blanks before the token.
class Folder {
  public:
    explicit Folder(std::size_t fieldNameLength) : column_(fieldNameLength + 2) {}

    std::size_t room(std::string_view gap) const {
        std::size_t g = out_.empty() ? gap.size() : std::max<std::size_t>(gap.size(), 1);
        return column_ + g < kFoldAt ? kFoldAt - column_ - g : 0;
    }
    static std::size_t lineRoom(std::string_view gap) {
        return kFoldAt - std::max<std::size_t>(gap.size(), 1);
    }
    void append(std::string_view gap, std::string_view token) {
        if (!out_.empty() && gap.empty()) gap = " ";
        if (!out_.empty() && column_ + gap.size() + token.size() > kFoldAt) {
            out_ += '\n';
            column_ = 0;
        }
        out_ += gap;
        out_ += token;
        column_ += gap.size() + token.size();
    }
    const std::string& text() const { return out_; }

  private:
    std::string out_;
    std::size_t column_;
};

std::size_t charLength(std::string_view cp932, std::size_t i) {
    return isLeadByte(static_cast<unsigned char>(cp932[i])) && i + 1 < cp932.size() ? 2 : 1;
}

// The longest encoded word from position i that has at most `limit` characters; returns the
// position after it (i when not one character fits).
std::size_t encodedWord(std::string_view cp932, std::size_t i, std::size_t limit, bool jis,
                        std::string& word) {
    const std::string_view prefix = jis ? "=?ISO-2022-JP?B?" : "=?UTF-8?B?";
    std::size_t end = i, best = i;
    std::string bytes;
    while (end < cp932.size()) {
        end += charLength(cp932, end);
        std::string_view chunk = cp932.substr(i, end - i);
        if (jis)
            cp932ToIso2022jp(chunk, bytes);
        else
            bytes = cp932ToUtf8(chunk);
        if (prefix.size() + (bytes.size() + 2) / 3 * 4 + 2 > limit) break;
        word = std::string(prefix) + base64Line(bytes) + "?=";
        best = end;
    }
    return best;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A structured ASCII value (message ids): folded at its blanks, never encoded.
std::string foldedWords(std::string_view fieldName, std::string_view value) {
    Folder folder(fieldName.size());
    std::string_view gap;
    for (std::size_t i = 0; i < value.size();) {
        std::size_t j = i;
        while (j < value.size() && isBlank(value[j]) == isBlank(value[i])) ++j;
        std::string_view piece = value.substr(i, j - i);
        if (isBlank(value[i])) {
            gap = piece.size() > kMaxGap ? " " : piece;
        } else {
            if (piece.size() + fieldName.size() + 2 > kMaxLine)
                throw MailError("ヘッダ "_cp + std::string(fieldName) + " の値が長すぎます"_cp);
            folder.append(gap, piece);
        }
        i = j;
    }
    return folder.text();
}

}  // namespace

std::string encodedWords(std::string_view cp932) {
    std::string jisBytes;
    const bool jis = cp932ToIso2022jp(cp932, jisBytes);
    std::string out, word;
    for (std::size_t i = 0; i < cp932.size();) {
        std::size_t next = encodedWord(cp932, i, kMaxEncodedWord, jis, word);
        // A character that fits no word (never in CP932 text) would stop the loop.
        if (next == i) next = i + charLength(cp932, i);
        out += (out.empty() ? "" : " ") + word;
        i = next;
    }
    return out;
}

// Unstructured text (a subject) as a folded header value: ASCII words stay as they are, other
// text and words too long for a line go as encoded words. Blanks between encoded words are
// written inside them, since decoders drop blanks between two words.
std::string foldedText(std::string_view fieldName, std::string_view cp932) {
    struct Piece {
        std::string_view text;
        bool blank;
        bool encode;
    };
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < cp932.size();) {
        bool blank = isBlank(cp932[i]);
        std::size_t j = i;
        while (j < cp932.size() && isBlank(cp932[j]) == blank)
            j += blank ? 1 : charLength(cp932, j);
        pieces.push_back({cp932.substr(i, j - i), blank, false});
        i = j;
    }
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        Piece& p = pieces[k];
        if (p.blank) {
            // Blanks at either end or in a long run would be lost or make an overlong line.
            p.encode = k == 0 || k + 1 == pieces.size() || p.text.size() > kMaxGap;
            continue;
        }
        std::size_t limit = k == 0 ? kFoldAt - fieldName.size() - 2 : kFoldAt - 1;
        bool plain = p.text.size() <= limit && p.text.find("=?") == std::string_view::npos;
        for (unsigned char c : p.text)
            if (c < 0x21 || c > 0x7E) plain = false;
        p.encode = !plain;
    }
    // A word beside blanks that are encoded has no blank of its own to stand apart by.
    for (std::size_t k = 0; k < pieces.size(); ++k)
        if (!pieces[k].blank &&
            ((k > 0 && pieces[k - 1].encode) || (k + 1 < pieces.size() && pieces[k + 1].encode)))
            pieces[k].encode = true;

    // Japanese text as ISO-2022-JP words when it fits, as Japanese mailers expect; anything
    // else (also plain ASCII) as UTF-8.
    std::string probe;
    bool ascii = std::all_of(cp932.begin(), cp932.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    bool jis = !ascii && cp932ToIso2022jp(cp932, probe);
    Folder folder(fieldName.size());
    std::string_view gap;
    for (std::size_t k = 0; k < pieces.size();) {
        if (!pieces[k].encode) {
            if (pieces[k].blank)
                gap = pieces[k].text;
            else
                folder.append(gap, pieces[k].text);
            ++k;
            continue;
        }
        // A run of encoded pieces, with the blanks between them, is encoded as one text.
        std::size_t last = k;
        for (std::size_t m = k; m < pieces.size() && (pieces[m].encode || pieces[m].blank); ++m)
            if (pieces[m].encode) last = m;
        const char* begin = pieces[k].text.data();
        std::string_view run(begin, pieces[last].text.data() + pieces[last].text.size() - begin);
        std::string word;
        for (std::size_t i = 0; i < run.size();) {
            std::size_t next =
                encodedWord(run, i, std::min(kMaxEncodedWord, folder.room(gap)), jis, word);
            if (next == i)
                next = encodedWord(run, i, std::min(kMaxEncodedWord, Folder::lineRoom(gap)), jis,
                                   word);
            if (next == i)
                throw MailError("ヘッダ "_cp + std::string(fieldName) + " を符号化できません"_cp);
            folder.append(gap, word);
            gap = " ";
            i = next;
        }
        gap = {};
        k = last + 1;
    }
    return folder.text();
}

// "Name: value" lines; fields of our own and anything that is no plain ASCII field are refused.
std::vector<ExtraHeader> checkedExtraHeaders(std::string_view text) {
    static constexpr std::string_view kOwn[] = {"From",
                                                "To",
                                                "Cc",
                                                "Bcc",
                                                "Subject",
                                                "Date",
                                                "Message-ID",
                                                "MIME-Version",
                                                "Content-Type",
                                                "Content-Transfer-Encoding",
                                                "Content-Disposition",
                                                "Sender",
                                                "Return-Path"};
    std::vector<ExtraHeader> out;
    if (text.find('\0') != std::string_view::npos)
        throw MailError("追加ヘッダに NUL 文字があります"_cp);
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        std::size_t colon = line.find(':');
        std::string_view name = line.substr(0, colon);
        bool usable = colon != std::string_view::npos && !name.empty() && name.size() <= 76;
        for (unsigned char c : name)
            if (c < 0x21 || c > 0x7E) usable = false;
        for (std::string_view own : kOwn)
            if (equalsIgnoringCase(name, own)) usable = false;
        if (!usable) throw MailError("追加ヘッダが正しくありません: \""_cp + shown(line) + "\"");
        std::string_view value = line.substr(colon + 1);
        for (unsigned char c : value)
            if ((c < 0x20 && c != '\t') || c >= 0x7F)
                throw MailError("ヘッダ "_cp + std::string(name) +
                                " に使えない文字があります: \""_cp + shown(value) + "\"");
        while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
        while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
        out.push_back({std::string(name), foldedWords(name, value)});
    }
    return out;
}

}  // namespace korv::mail
