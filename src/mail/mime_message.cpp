#include "mail/mime_message.h"

#include <gmime/gmime.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "mail/attachment_names.h"
#include "mail/header_text.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

std::mutex& mimeMutex() {
    static std::mutex m;
    return m;
}
bool mimeReady = false;

struct Unref {
    void operator()(void* p) const {
        if (p) g_object_unref(p);
    }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;

// A read-only GMime stream over bytes that outlive it, without copying them. Every object made
// from the stream (a parsed message and its parts) must be gone before this is.
class BorrowedStream {
  public:
    explicit BorrowedStream(std::string_view bytes) {
        if (bytes.empty() || bytes.size() > G_MAXUINT) {
            stream_.reset(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
            return;
        }
        // The array only points at the bytes: the stream never writes, and never frees them.
        array_ = g_byte_array_new_take(reinterpret_cast<guint8*>(const_cast<char*>(bytes.data())),
                                       bytes.size());
        stream_.reset(g_mime_stream_mem_new_with_byte_array(array_));
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream_.get()), FALSE);
    }
    ~BorrowedStream() {
        stream_.reset();
        if (array_) g_byte_array_free(array_, FALSE);
    }
    BorrowedStream(const BorrowedStream&) = delete;
    BorrowedStream& operator=(const BorrowedStream&) = delete;
    GMimeStream* get() const { return stream_.get(); }

  private:
    GByteArray* array_ = nullptr;
    GPtr<GMimeStream> stream_;
};

GPtr<GMimeMessage> parseMessage(const BorrowedStream& source) {
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(source.get()));
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
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
        Parameter p{lower(trim(raw.substr(pos, keyEnd - pos))), {}};
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
            encoded = true;  // name*=charset'lang'value
            rest = "0";
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

std::optional<std::string> partFileName(GMimeObject* obj) {
    if (auto n = fileNameParameter(rawHeaderValue(obj, "Content-Disposition"), "filename"))
        return n;
    return fileNameParameter(rawHeaderValue(obj, "Content-Type"), "name");
}

// Reads uuencoded text ("begin" line to "end") decoded. GMime's uudecoder loses its place at CR
// LF line ends past its first buffer, so the lines reach it with LF only.
GPtr<GMimeStream> uudecoding(GMimeStream* encoded) {
    GPtr<GMimeStream> filtered(g_mime_stream_filter_new(encoded));
    GPtr<GMimeFilter> lf(g_mime_filter_dos2unix_new(FALSE));
    GPtr<GMimeFilter> decoder(g_mime_filter_basic_new(GMIME_CONTENT_ENCODING_UUENCODE, FALSE));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), lf.get());
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), decoder.get());
    return filtered;
}

std::string decodedThroughStreams(GMimeStream* encoded) {
    g_mime_stream_reset(encoded);
    auto decoded = uudecoding(encoded);
    std::string out;
    char chunk[65536];
    for (ssize_t n; (n = g_mime_stream_read(decoded.get(), chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<std::size_t>(n));
    g_mime_stream_reset(encoded);
    return out;
}

std::string partBytes(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* encoded = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!encoded) return {};
    GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding == GMIME_CONTENT_ENCODING_UUENCODE) return decodedThroughStreams(encoded);
    // Decoded straight into the string, with room for all of it from the start: layered
    // streams would copy a big attachment three times and grow it step by step.
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, encoding);
    gint64 length = g_mime_stream_length(encoded);
    std::string out;
    if (length > 0 && length < (gint64{1} << 30))
        out.reserve(g_mime_encoding_outlen(&state, static_cast<std::size_t>(length)));
    g_mime_stream_reset(encoded);
    char chunk[65536];
    std::size_t used = 0;
    for (;;) {
        ssize_t n = g_mime_stream_read(encoded, chunk, sizeof chunk);
        if (n <= 0) break;
        out.resize(used + g_mime_encoding_outlen(&state, static_cast<std::size_t>(n)));
        used += g_mime_encoding_step(&state, chunk, static_cast<std::size_t>(n), out.data() + used);
    }
    out.resize(used + g_mime_encoding_outlen(&state, 0));
    used += g_mime_encoding_flush(&state, nullptr, 0, out.data() + used);
    out.resize(used);
    g_mime_stream_reset(encoded);
    return out;
}

// Attachments are decoded piece by piece straight into their files: a big one never sits in
// memory a second time beside the received message.
constexpr std::size_t kDecodeChunk = 128 * 1024;

// Scratch memory for decoding, kept for the next attachment.
char* scratch(std::size_t bytes) {
    static std::vector<char> memory;
    if (memory.size() < bytes) memory.resize(bytes);
    return memory.data();
}

void writeUudecoded(GMimeStream* encoded, NewAttachmentFile& file) {
    auto decoded = uudecoding(encoded);
    char* buffer = scratch(kDecodeChunk);
    for (ssize_t n; (n = g_mime_stream_read(decoded.get(), buffer, kDecodeChunk)) > 0;)
        file.write(buffer, static_cast<std::size_t>(n));
}

void writeDecodedPart(GMimePart* part, NewAttachmentFile& file) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* encoded = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!encoded) return;
    GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    g_mime_stream_reset(encoded);
    if (encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        writeUudecoded(encoded, file);
    } else {
        GMimeEncoding state;
        g_mime_encoding_init_decode(&state, encoding);
        char* in = scratch(kDecodeChunk + g_mime_encoding_outlen(&state, kDecodeChunk));
        char* out = in + kDecodeChunk;
        for (ssize_t n; (n = g_mime_stream_read(encoded, in, kDecodeChunk)) > 0;)
            file.write(out, g_mime_encoding_step(&state, in, static_cast<std::size_t>(n), out));
        file.write(out, g_mime_encoding_flush(&state, nullptr, 0, out));
    }
    g_mime_stream_reset(encoded);
}

// A message part as it is, through a GMime stream on the file; the size check catches a write
// that the stream did not report.
void writeObject(GMimeObject* obj, NewAttachmentFile& file) {
    GPtr<GMimeStream> counter(g_mime_stream_null_new());
    g_mime_object_write_to_stream(obj, nullptr, counter.get());
    GPtr<GMimeStream> out(g_mime_stream_fs_new(file.fd()));
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(out.get()), FALSE);
    errno = 0;
    ssize_t n = g_mime_object_write_to_stream(obj, nullptr, out.get());
    int err = errno;
    if (n < 0 || g_mime_stream_flush(out.get()) != 0 ||
        ::lseek(file.fd(), 0, SEEK_END) !=
            static_cast<off_t>(GMIME_STREAM_NULL(counter.get())->written))
        file.failed(err != 0 ? err : EIO);
}

void writeUuBlock(std::string_view block, NewAttachmentFile& file) {
    BorrowedStream source(block);
    writeUudecoded(source.get(), file);
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

struct Leaf {
    GMimeObject* obj;
    std::string type;  // lower case "type/subtype"
    std::optional<std::string> name;
    bool attachmentDisposition;
};

void collectLeaves(GMimeObject* obj, std::vector<Leaf>& out) {
    if (!obj) return;
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) collectLeaves(g_mime_multipart_get_part(mp, i), out);
        return;
    }
    Leaf leaf{obj, "", partFileName(obj), false};
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (ct) {
        char* t = g_mime_content_type_get_mime_type(ct);
        leaf.type = lower(t ? t : "");
        g_free(t);
    }
    GMimeContentDisposition* cd = g_mime_object_get_content_disposition(obj);
    leaf.attachmentDisposition = cd && g_mime_content_disposition_is_attachment(cd);
    out.push_back(std::move(leaf));
}

bool isText(const Leaf& leaf) { return leaf.type.rfind("text/", 0) == 0; }

// A text part that may be (part of) the body: inline, without a name.
bool bodyCandidate(const Leaf& l) {
    return isText(l) && !l.name && !l.attachmentDisposition && GMIME_IS_PART(l.obj);
}

// The plain texts of the body below obj, in message order: every one in a mixed (or any other)
// multipart, the first alternative that has one in an alternative.
void plainBodyParts(GMimeObject* obj, const std::map<GMimeObject*, std::size_t>& index,
                    const std::vector<Leaf>& leaves, std::vector<std::size_t>& out) {
    if (!obj) return;
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        GMimeContentType* ct = g_mime_object_get_content_type(obj);
        bool alternative = ct && g_mime_content_type_is_type(ct, "multipart", "alternative");
        int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) {
            std::size_t before = out.size();
            plainBodyParts(g_mime_multipart_get_part(mp, i), index, leaves, out);
            if (alternative && out.size() > before) return;
        }
        return;
    }
    auto it = index.find(obj);
    if (it == index.end()) return;
    const Leaf& leaf = leaves[it->second];
    if (bodyCandidate(leaf) && leaf.type == "text/plain") out.push_back(it->second);
}

// The leaves (indexes, in order) whose texts make the body: the plain texts, else the first
// other text (an HTML-only message).
std::vector<std::size_t> bodyLeaves(GMimeObject* top, const std::vector<Leaf>& leaves) {
    std::map<GMimeObject*, std::size_t> index;
    for (std::size_t i = 0; i < leaves.size(); ++i) index[leaves[i].obj] = i;
    std::vector<std::size_t> body;
    plainBodyParts(top, index, leaves, body);
    if (body.empty())
        for (std::size_t i = 0; i < leaves.size(); ++i)
            if (bodyCandidate(leaves[i])) return {i};
    return body;
}

// Named parts, parts marked as attachments and every part that is not text go into files.
bool isAttachment(const Leaf& leaf) {
    return leaf.name.has_value() || leaf.attachmentDisposition || !isText(leaf);
}

struct UuBlock {
    std::string name;
    std::string_view text;  // from its "begin" line to its "end" line, inside the text searched
};

bool isOctal(std::string_view s) {
    return s.size() >= 3 && s.size() <= 4 && s.find_first_not_of("01234567") == s.npos;
}

// uuencoded blocks ("begin 644 name" ... "end") inside a plain text.
std::vector<UuBlock> findUuBlocks(std::string_view text) {
    std::vector<UuBlock> blocks;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        std::size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        std::string_view line = text.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.rfind("begin ", 0) == 0) {
            std::size_t sp = line.find(' ', 6);
            if (sp != std::string_view::npos && isOctal(line.substr(6, sp - 6)) &&
                sp + 1 < line.size()) {
                std::string name(line.substr(sp + 1));
                // Look for the closing "end" line.
                std::size_t p = next;
                std::size_t blockStart = pos;
                bool found = false;
                while (p < text.size()) {
                    std::size_t e = text.find('\n', p);
                    std::size_t n2 = e == std::string_view::npos ? text.size() : e + 1;
                    std::string_view l = text.substr(p, n2 - p);
                    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
                    if (l == "end") {
                        blocks.push_back(
                            {guessToCp932(name), text.substr(blockStart, n2 - blockStart)});
                        next = n2;
                        found = true;
                        break;
                    }
                    p = n2;
                }
                if (!found) break;
            }
        }
        pos = next;
    }
    return blocks;
}

std::string leafCharset(GMimeObject* obj) {
    const char* cs = g_mime_object_get_content_type_parameter(obj, "charset");
    return cs ? cs : "";
}

}  // namespace

void ensureMimeInitialised() {
    std::lock_guard lock(mimeMutex());
    if (!mimeReady) {
        g_mime_init();
        // GMime's lenient search for encoded words inside words grows with the square of a
        // header (a crafted subject froze a poll for minutes). Header texts and file names are
        // decoded from the raw values here anyway, so GMime may keep to whole words.
        g_mime_parser_options_set_rfc2047_compliance_mode(g_mime_parser_options_get_default(),
                                                          GMIME_RFC_COMPLIANCE_STRICT);
        mimeReady = true;
    }
}

void shutdownMime() {
    std::lock_guard lock(mimeMutex());
    if (mimeReady) {
        g_mime_shutdown();
        mimeReady = false;
    }
}

MessageTexts decodeHeaderTexts(std::string_view raw) {
    ensureMimeInitialised();
    MessageTexts texts;
    texts.header = toCrLf(headerBlockOf(raw));
    if (!texts.header.empty() && texts.header.back() != '\n') texts.header += "\r\n";
    if (auto s = findHeaderField(texts.header, "Subject")) texts.subject = decodeHeaderText(*s);
    if (auto f = findHeaderField(texts.header, "From")) texts.from = decodeHeaderText(*f);
    if (auto d = findHeaderField(texts.header, "Date")) texts.date = guessToCp932(*d);
    return texts;
}

DecodedMessage decodeMessage(std::string_view raw, const std::string& folder) {
    ensureMimeInitialised();
    DecodedMessage result;
    result.texts = decodeHeaderTexts(raw);
    BorrowedStream source(raw);
    auto message = parseMessage(source);
    if (!message) {
        result.body = toCrLf(bodyOf(raw));
        return result;
    }
    GMimeObject* top = g_mime_message_get_mime_part(message.get());
    if (top && GMIME_IS_MESSAGE_PARTIAL(top)) {
        // A part of a split message: its raw text is what joining needs later.
        result.body = toCrLf(bodyOf(raw));
        return result;
    }
    std::vector<Leaf> leaves;
    collectLeaves(top, leaves);
    const std::vector<std::size_t> body = bodyLeaves(top, leaves);

    // What goes into files: parts in message order, then the blocks found inside the texts.
    struct Pending {
        std::string name;
        std::string fallback;  // when nothing of the name can be used
        GMimeObject* part;     // a GMimePart or a GMimeMessagePart
        std::string_view uu;   // else a uuencoded block inside one of bodyBytes
    };
    std::vector<Pending> files;
    std::vector<std::string> bodyBytes;
    bodyBytes.reserve(body.size());  // the blocks point into these strings
    for (std::size_t i : body) {
        const Leaf& leaf = leaves[i];
        bodyBytes.push_back(partBytes(GMIME_PART(leaf.obj)));
        // Phone mailers put a picture between two texts: the body is all of them, in order.
        if (bodyBytes.size() > 1) result.body += "\r\n";
        result.body += toCrLf(textToCp932(bodyBytes.back(), leafCharset(leaf.obj)));
    }
    std::vector<bool> inBody(leaves.size());
    for (std::size_t i : body) inBody[i] = true;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const Leaf& leaf = leaves[i];
        if (inBody[i] || !isAttachment(leaf)) continue;
        if (!GMIME_IS_PART(leaf.obj) && !GMIME_IS_MESSAGE_PART(leaf.obj)) continue;
        std::string fallback = "attachment" + extensionForType(leaf.type);
        files.push_back({leaf.name.value_or(fallback), fallback, leaf.obj, {}});
    }
    // The blocks stay in the text too: a saved message can then be extracted again.
    for (std::size_t k = 0; k < body.size(); ++k)
        if (leaves[body[k]].type == "text/plain")
            for (auto& block : findUuBlocks(bodyBytes[k]))
                files.push_back({std::move(block.name), "attachment.bin", nullptr, block.text});
    // Without a folder nothing is written (the caller wants the texts only).
    if (folder.empty()) return result;
    for (auto& f : files) {
        try {
            NewAttachmentFile file(folder, safeAttachmentName(f.name, f.fallback),
                                   result.attachmentNames);
            if (!f.part)
                writeUuBlock(f.uu, file);
            else if (GMIME_IS_PART(f.part))
                writeDecodedPart(GMIME_PART(f.part), file);
            else if (GMimeMessage* inner =
                         g_mime_message_part_get_message(GMIME_MESSAGE_PART(f.part)))
                writeObject(GMIME_OBJECT(inner), file);
            result.attachmentNames.push_back(file.finish());
        } catch (const FileError& e) {
            // The rest of the message's attachments are not written either.
            result.attachmentError = MailError(e.what(), kMailLibAttachmentFailed);
            break;
        }
    }
    return result;
}

bool hasAttachment(std::string_view raw) {
    ensureMimeInitialised();
    BorrowedStream source(raw);
    auto message = parseMessage(source);
    if (!message) return false;
    GMimeObject* top = g_mime_message_get_mime_part(message.get());
    if (!top || GMIME_IS_MESSAGE_PARTIAL(top)) return false;
    std::vector<Leaf> leaves;
    collectLeaves(top, leaves);
    const std::vector<std::size_t> body = bodyLeaves(top, leaves);
    std::vector<bool> inBody(leaves.size());
    for (std::size_t i : body) inBody[i] = true;
    for (std::size_t i = 0; i < leaves.size(); ++i)
        if (!inBody[i] && isAttachment(leaves[i])) return true;
    for (std::size_t i : body)
        if (leaves[i].type == "text/plain" &&
            !findUuBlocks(partBytes(GMIME_PART(leaves[i].obj))).empty())
            return true;
    return false;
}

std::string formatNamesList(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ',';
        const std::string& n = names[i];
        bool quote = n.empty();
        for (unsigned char c : n)
            if (c == ',' || c == '"' || c <= 0x20) quote = true;
        if (!quote) {
            out += n;
            continue;
        }
        out += '"';
        for (char c : n) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

}  // namespace korv::mail
