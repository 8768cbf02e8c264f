#include "mail/smtp_mail.h"

#include <curl/curl.h>
#include <gmime/gmime.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "mail/header_text.h"
#include "mail/mime_message.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv::mail {
namespace {

using namespace std::string_view_literals;

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kReplyTimeoutSeconds = 60;
constexpr long kStallSeconds = 60;  // transfer below 1 byte/s for this long ends it

struct Unref {
    void operator()(void* p) const {
        if (p) g_object_unref(p);
    }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;

std::string cp(const char* utf8) { return utf8ToCp932(utf8); }

bool hasLineBreakOrNul(std::string_view s) { return s.find_first_of("\r\n\0"sv) != s.npos; }

// A refused value as an error text shows it: control bytes written out, long values cut.
std::string shown(std::string_view cp932) {
    constexpr std::size_t kMax = 200;
    std::string out;
    for (std::size_t i = 0; i < cp932.size(); ++i) {
        if (out.size() >= kMax) return out + "...";
        unsigned char c = static_cast<unsigned char>(cp932[i]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\0') {
            out += "\\0";
        } else if (c < 0x20 || c == 0x7F) {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else if (isLeadByte(c) && i + 1 < cp932.size()) {
            out += cp932.substr(i++, 2);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

[[noreturn]] void refuseAddress(const char* role, std::string_view what) {
    throw MailError(cp(role) + cp("のアドレスが正しくありません: \"") + shown(what) + "\"");
}

// A mailbox fit for the envelope: local@domain in printable ASCII (RFC 5321 without SMTPUTF8).
bool envelopeReady(std::string_view addr) {
    std::size_t at = addr.rfind('@');
    if (at == addr.npos || at == 0 || at + 1 == addr.size()) return false;
    for (unsigned char c : addr)
        if (c < 0x20 || c >= 0x7F) return false;
    return true;
}

void parserWarning(gint64, GMimeParserWarning, const gchar*, gpointer seen) {
    *static_cast<bool*>(seen) = true;
}

// Parses strictly; any complaint of GMime's parser refuses the list. Address names are written
// as UTF-8 words, so GMime never converts them through iconv.
GPtr<InternetAddressList> parseAddresses(const std::string& cp932List, const char* role) {
    if (hasLineBreakOrNul(cp932List))
        throw MailError(cp(role) + cp("のアドレスに改行または NUL 文字があります: \"") +
                        shown(cp932List) + "\"");
    std::string utf8 = cp932ToUtf8(cp932List);
    GMimeParserOptions* options = g_mime_parser_options_new();
    g_mime_parser_options_set_address_compliance_mode(options, GMIME_RFC_COMPLIANCE_STRICT);
    bool warned = false;
    g_mime_parser_options_set_warning_callback(options, parserWarning, &warned);
    GPtr<InternetAddressList> list(internet_address_list_parse(options, utf8.c_str()));
    g_mime_parser_options_free(options);
    if (!list && cp932List.find_first_not_of(" \t") == std::string::npos)
        list.reset(internet_address_list_new());
    if (!list || warned) refuseAddress(role, cp932List);
    return list;
}

// Checks every entry (also inside groups) and collects the bare addresses.
void collectMailboxes(InternetAddressList* list, const char* role, std::vector<std::string>& out) {
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        // A name decoded from RFC 2047 words may hold what the raw text did not.
        const char* name = internet_address_get_name(a);
        if (name && hasLineBreakOrNul(name)) refuseAddress(role, utf8ToCp932(name));
        internet_address_set_charset(a, "UTF-8");
        if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            std::string_view bare = addr ? addr : "";
            if (!envelopeReady(bare)) {
                char* entry = internet_address_to_string(a, nullptr, FALSE);
                std::string text = utf8ToCp932(entry ? entry : "");
                g_free(entry);
                refuseAddress(role, text);
            }
            out.emplace_back(bare);
        } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
            collectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), role,
                             out);
        }
    }
}

struct AddressList {
    GPtr<InternetAddressList> list;
    std::vector<std::string> mailboxes;
};

AddressList checkedAddresses(const std::string& cp932List, const char* role) {
    AddressList result{parseAddresses(cp932List, role), {}};
    collectMailboxes(result.list.get(), role, result.mailboxes);
    return result;
}

struct Envelope {
    std::string from;
    std::vector<std::string> recipients;
};

Envelope checkedEnvelope(const OutgoingMail& mail) {
    Envelope envelope;
    auto from = checkedAddresses(mail.from, "送信者");
    if (from.mailboxes.size() != 1) refuseAddress("送信者", mail.from);
    envelope.from = from.mailboxes.front();
    for (auto [list, role] : {std::pair{&mail.to, "宛先"}, {&mail.cc, "Cc"}, {&mail.bcc, "Bcc"}})
        for (auto& a : checkedAddresses(*list, role).mailboxes)
            if (std::find(envelope.recipients.begin(), envelope.recipients.end(), a) ==
                envelope.recipients.end())
                envelope.recipients.push_back(std::move(a));
    if (envelope.recipients.empty()) refuseAddress("宛先", mail.to);
    return envelope;
}

void checkServerName(const std::string& server) {
    if (server.empty()) throw MailError(cp("SMTPサーバが設定されていません"));
    for (unsigned char c : server)
        if (c <= 0x20 || c == 0x7F)
            throw MailError(cp("SMTPサーバ名に使えない文字があります: \"") + shown(server) + "\"");
}

// Header values are folded at 78 characters; an encoded word holds at most 75 (RFC 2047).
constexpr std::size_t kFoldAt = 78;
constexpr std::size_t kMaxEncodedWord = 75;
constexpr std::size_t kMaxLine = 998;
constexpr std::size_t kMaxGap = 8;  // longer runs of blanks go inside encoded words

std::string base64(std::string_view bytes) {
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
        word = std::string(prefix) + base64(bytes) + "?=";
        best = end;
    }
    return best;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

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
                throw MailError(cp("ヘッダ ") + std::string(fieldName) + cp(" を符号化できません"));
            folder.append(gap, word);
            gap = " ";
            i = next;
        }
        gap = {};
        k = last + 1;
    }
    return folder.text();
}

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
                throw MailError(cp("ヘッダ ") + std::string(fieldName) + cp(" の値が長すぎます"));
            folder.append(gap, piece);
        }
        i = j;
    }
    return folder.text();
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct ExtraHeader {
    std::string name;
    std::string value;  // folded
};

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
        throw MailError(cp("追加ヘッダに NUL 文字があります"));
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
            if (sameName(name, own)) usable = false;
        if (!usable) throw MailError(cp("追加ヘッダが正しくありません: \"") + shown(line) + "\"");
        std::string_view value = line.substr(colon + 1);
        for (unsigned char c : value)
            if ((c < 0x20 && c != '\t') || c >= 0x7F)
                throw MailError(cp("ヘッダ ") + std::string(name) +
                                cp(" に使えない文字があります: \"") + shown(value) + "\"");
        while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
        while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
        out.push_back({std::string(name), foldedWords(name, value)});
    }
    return out;
}

std::string contentTypeFor(const std::string& cp932Path) {
    std::string ext = extensionOf(cp932Path);
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
    if (ext == ".png") return "image/png";
    if (ext == ".gif") return "image/gif";
    if (ext == ".pdf") return "application/pdf";
    if (ext == ".txt") return "text/plain";
    return "application/octet-stream";
}

std::string baseName(const std::string& cp932Path) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < cp932Path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(cp932Path[i]);
        if (isLeadByte(c) && i + 1 < cp932Path.size()) {
            ++i;
            continue;
        }
        if (c == '/' || c == '\\') start = i + 1;
    }
    return cp932Path.substr(start);
}

GPtr<GMimeDataWrapper> wrapperOf(const std::string& bytes) {
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    return GPtr<GMimeDataWrapper>(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
}

// GMime writes a raw value as it is; ours are folded already and hold only ASCII.
void appendRawHeader(GMimeObject* obj, const std::string& name, const std::string& asciiValue) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(obj);
    g_mime_header_list_append(headers, name.c_str(), "", nullptr);
    GMimeHeader* header =
        g_mime_header_list_get_header_at(headers, g_mime_header_list_get_count(headers) - 1);
    g_mime_header_set_raw_value(header, (" " + asciiValue + "\n").c_str());
}

std::string domainOf(const std::string& address) {
    std::size_t at = address.rfind('@');
    return at == std::string::npos ? std::string("localhost") : address.substr(at + 1);
}

struct Upload {
    const std::string* data;
    std::size_t pos = 0;
};

size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
    auto* up = static_cast<Upload*>(user);
    std::size_t n = std::min(size * count, up->data->size() - up->pos);
    std::memcpy(buffer, up->data->data() + up->pos, n);
    up->pos += n;
    return n;
}

// The server's replies, for the error text.
int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // The first refusal (4xx or 5xx) is the one that explains the failure, not the later QUIT.
    auto* reply = static_cast<std::string*>(user);
    bool haveRefusal = !reply->empty() && ((*reply)[0] == '4' || (*reply)[0] == '5');
    if (!line.empty() && !haveRefusal) *reply = line;
    return 0;
}

struct CurlCleanup {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistCleanup {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::string smtpUrl(const std::string& server, bool implicitTls) {
    std::string lowered = server;
    for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered.rfind("smtps://", 0) == 0) return server;
    std::string hostPort = server;
    if (lowered.rfind("smtp://", 0) == 0) {
        if (!implicitTls) return server;
        hostPort = server.substr(7);
    }
    while (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
    bool hasPort = false;
    if (!hostPort.empty() && hostPort.front() == '[')
        hasPort = hostPort.find("]:") != std::string::npos;
    else
        hasPort = hostPort.find(':') != std::string::npos;
    if (implicitTls) return "smtps://" + hostPort + (hasPort ? "" : ":465");
    return "smtp://" + hostPort + (hasPort ? "" : ":25");
}

// The trust of our own beside the system's: libcurl's CAINFO would replace the system's store.
struct ExtraTrust {
    std::string path;  // native
    bool folder = false;
    bool loaded = true;
};

CURLcode addTrust(CURL*, void* sslContext, void* user) {
    auto* trust = static_cast<std::vector<ExtraTrust>*>(user);
    for (auto& t : *trust) {
        t.loaded = SSL_CTX_load_verify_locations(static_cast<SSL_CTX*>(sslContext),
                                                 t.folder ? nullptr : t.path.c_str(),
                                                 t.folder ? t.path.c_str() : nullptr) == 1;
        if (!t.loaded) return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

std::vector<ExtraTrust> extraTrust(const std::string& cp932CaFile) {
    std::vector<ExtraTrust> out;
    std::string fromSettings = cp932CaFile.empty() ? "" : nativePath(cp932CaFile).string();
    const char* fromEnv = std::getenv("KORVANTO_CA_FILE");
    for (const std::string& p : {fromSettings, std::string(fromEnv ? fromEnv : "")}) {
        if (p.empty()) continue;
        std::error_code ec;
        out.push_back({p, std::filesystem::is_directory(p, ec)});
    }
    return out;
}

}  // namespace

std::vector<std::string> envelopeAddresses(const std::string& cp932List, const char* role) {
    ensureMimeInitialised();
    auto list = checkedAddresses(cp932List, role);
    if (list.mailboxes.empty()) refuseAddress(role, cp932List);
    return list.mailboxes;
}

std::string buildMessage(const OutgoingMail& mail) {
    ensureMimeInitialised();
    Envelope envelope = checkedEnvelope(mail);
    if (hasLineBreakOrNul(mail.subject))
        throw MailError(cp("件名に改行または NUL 文字があります: \"") + shown(mail.subject) + "\"");
    std::vector<ExtraHeader> extra = checkedExtraHeaders(mail.extraHeaders);

    GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    GMimeObject* top = GMIME_OBJECT(message.get());
    internet_address_list_append(g_mime_message_get_from(message.get()),
                                 checkedAddresses(mail.from, "送信者").list.get());
    internet_address_list_append(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO),
                                 checkedAddresses(mail.to, "宛先").list.get());
    if (!mail.cc.empty())
        internet_address_list_append(
            g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_CC),
            checkedAddresses(mail.cc, "Cc").list.get());
    // The subject's words are made here: GMime would convert Japanese through iconv.
    appendRawHeader(top, "Subject", foldedText("Subject", mail.subject));
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(message.get(), now);
    g_date_time_unref(now);
    char* id = g_mime_utils_generate_message_id(domainOf(envelope.from).c_str());
    g_mime_message_set_message_id(message.get(), id);
    g_free(id);
    for (const auto& h : extra) appendRawHeader(top, h.name, h.value);

    std::string text = toCrLf(mail.body);
    std::string encoded;
    bool jis = cp932ToIso2022jp(text, encoded);
    if (!jis) encoded = cp932ToUtf8(text);
    GPtr<GMimeTextPart> textPart(g_mime_text_part_new_with_subtype("plain"));
    g_mime_part_set_content(GMIME_PART(textPart.get()), wrapperOf(encoded).get());
    g_mime_text_part_set_charset(textPart.get(), jis ? "ISO-2022-JP" : "UTF-8");
    // 7bit only while every line stays well within SMTP's 998-byte limit.
    bool shortLines = true;
    for (std::size_t pos = 0, eol; pos < encoded.size(); pos = eol + 1) {
        eol = encoded.find('\n', pos);
        if (eol == std::string::npos) eol = encoded.size();
        if (eol - pos > 900) shortLines = false;
    }
    g_mime_part_set_content_encoding(
        GMIME_PART(textPart.get()),
        jis && shortLines ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_BASE64);

    if (mail.attachmentPath.empty()) {
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(textPart.get()));
    } else {
        std::string baseCp932 = baseName(mail.attachmentPath);
        if (hasLineBreakOrNul(baseCp932))
            throw MailError(cp("添付ファイル名に改行または NUL 文字があります: \"") +
                            shown(baseCp932) + "\"");
        if (folderExists(mail.attachmentPath))
            throw FileError(mail.attachmentPath + cp(" を添付できません: フォルダです"));
        std::string bytes = ReadFileToString(mail.attachmentPath);
        std::string type = contentTypeFor(mail.attachmentPath);
        std::size_t slash = type.find('/');
        GPtr<GMimePart> file(g_mime_part_new_with_type(type.substr(0, slash).c_str(),
                                                       type.substr(slash + 1).c_str()));
        g_mime_part_set_content(file.get(), wrapperOf(bytes).get());
        g_mime_part_set_content_encoding(file.get(), GMIME_CONTENT_ENCODING_BASE64);
        std::string name = cp932ToUtf8(baseCp932);
        g_mime_part_set_filename(file.get(), name.c_str());
        // Name parameters in UTF-8 (RFC 2231) rather than a charset GMime would pick; GMime
        // folds them into continuations.
        for (GMimeParamList* params :
             {g_mime_content_disposition_get_parameters(
                  g_mime_object_get_content_disposition(GMIME_OBJECT(file.get()))),
              g_mime_content_type_get_parameters(
                  g_mime_object_get_content_type(GMIME_OBJECT(file.get())))}) {
            int n = g_mime_param_list_length(params);
            for (int i = 0; i < n; ++i)
                g_mime_param_set_charset(g_mime_param_list_get_parameter_at(params, i), "UTF-8");
        }
        GPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(textPart.get()));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(file.get()));
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(mixed.get()));
    }

    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    GPtr<GMimeStream> out(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), options, out.get());
    g_mime_format_options_free(options);
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

void sendMail(const std::string& server, const OutgoingMail& mail, const SmtpOptions& options) {
    checkServerName(server);
    if (hasLineBreakOrNul(options.user) || hasLineBreakOrNul(options.password))
        throw MailError(
            serverError("SMTP", server, cp("ユーザー名かパスワードに改行が含まれています")));
    ensureMimeInitialised();
    // Everything that goes to libcurl comes from these checks.
    Envelope envelope = checkedEnvelope(mail);
    std::string data = buildMessage(mail);

    static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    std::unique_ptr<CURL, CurlCleanup> curl(curlReady ? curl_easy_init() : nullptr);
    if (!curl) throw MailError(cp("SMTPの準備ができません (libcurl)"));
    std::unique_ptr<curl_slist, SlistCleanup> rcpt;
    for (const auto& a : envelope.recipients)
        rcpt.reset(curl_slist_append(rcpt.release(), ("<" + a + ">").c_str()));

    std::string url = smtpUrl(cp932ToUtf8(server), options.security == Security::Implicit);
    const bool login = !options.user.empty();
    std::string reply;
    char errorText[CURL_ERROR_SIZE] = "";
    Upload upload{&data};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + envelope.from + ">").c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readCallback);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, kReplyTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, debugCallback);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &reply);
    // STARTTLS when offered; required when asked for, and for a login unless plain text was
    // chosen: a password never goes out in clear by surprise.
    long useSsl = CURLUSESSL_NONE;
    if (options.security == Security::Required || (login && options.security == Security::Auto))
        useSsl = CURLUSESSL_ALL;
    else if (options.security == Security::Auto)
        useSsl = CURLUSESSL_TRY;
    curl_easy_setopt(c, CURLOPT_USE_SSL, useSsl);
    std::vector<ExtraTrust> trust = extraTrust(options.caFile);
    if (!trust.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, addTrust);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &trust);
    }
    std::string user = cp932ToUtf8(options.user);
    if (login) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, options.password.c_str());
    }
    CURLcode rc = curl_easy_perform(c);
    for (const auto& t : trust)
        if (!t.loaded)
            throw MailError(cp("証明書ファイル ") + fromNativePath(t.path) + cp(" を読めません"));
    if (rc == CURLE_OK) return;

    std::string reason = errorText[0] ? errorText : curl_easy_strerror(rc);
    // A server that echoes what it was sent must not put the password into an error text.
    for (std::string* t : {&reason, &reply}) {
        if (options.password.empty()) break;
        for (std::size_t at = t->find(options.password); at != std::string::npos;
             at = t->find(options.password, at + 3))
            t->replace(at, options.password.size(), "***");
    }
    std::string text;
    if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST ||
        rc == CURLE_OPERATION_TIMEDOUT)
        text = cp("SMTPサーバ ") + server + cp(" に接続できません: ") + reason;
    else
        text = cp("SMTPサーバ ") + server + cp(" への送信に失敗しました: ") + reason;
    if (!reply.empty() && rc != CURLE_COULDNT_CONNECT && rc != CURLE_COULDNT_RESOLVE_HOST)
        text += cp(" (サーバの応答: ") + guessToCp932(reply) + ")";
    throw MailError(text);
}

}  // namespace korv::mail
