#include "mail/mime/mime_message.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "mail/mime/attachment_names.h"
#include "mail/mime/gmime_support.h"
#include "mail/mime/header_text.h"
#include "mail/mime/mime_part_content.h"
#include "mail/mime/mime_part_names.h"
#include "platform/charsets.h"
#include "platform/file_error.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

std::mutex& mimeMutex() {
    static std::mutex m;
    return m;
}
bool mimeStarted = false;  // never reset: GMime is set up once per process

void shutdownMime() { g_mime_shutdown(); }

void noteInvalidHeaderLine(gint64 offset, GMimeParserWarning code, const gchar*, gpointer lines) {
    if (code == GMIME_CRIT_INVALID_HEADER_NAME && offset >= 0)
        static_cast<std::vector<gint64>*>(lines)->push_back(offset);
}

// Where a blank line goes in front of a line that is no header field: the first such line of
// each header (GMime reports the lines after it too), at the start of a line.
std::vector<std::size_t> bodyStarts(std::string_view text, std::vector<gint64> lines) {
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    std::vector<std::size_t> starts;
    for (gint64 line : lines) {
        auto at = static_cast<std::size_t>(line);
        if (at == 0 || at >= text.size() || text[at - 1] != '\n') continue;
        std::size_t previous = at >= 2 ? text.rfind('\n', at - 2) : std::string_view::npos;
        previous = previous == std::string_view::npos ? 0 : previous + 1;
        if (!std::binary_search(lines.begin(), lines.end(), static_cast<gint64>(previous)))
            starts.push_back(at);
    }
    return starts;
}

// A received message as GMime reads it, with one correction: where a line that is no header
// field stands in a header (no blank line before the body, an attached message without a
// header), GMime drops everything from there to the end of that header, or of the part; readers
// of real mail start the body at that line. Such a message is read again with a blank line
// put in front of it.
class ParsedMessage {
  public:
    explicit ParsedMessage(std::string_view raw) {
        constexpr int kRepairRounds = 4;  // each round may uncover the headers of nested parts
        std::string_view text = raw;
        for (int round = 0;; ++round) {
            std::vector<gint64> invalid;
            std::unique_ptr<GMimeParserOptions, decltype(&g_mime_parser_options_free)> options(
                g_mime_parser_options_clone(g_mime_parser_options_get_default()),
                &g_mime_parser_options_free);
            g_mime_parser_options_set_warning_callback(options.get(), noteInvalidHeaderLine,
                                                       &invalid);
            source_ = std::make_unique<BorrowedStream>(text);
            GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(source_->get()));
            message_.reset(g_mime_parser_construct_message(parser.get(), options.get()));
            std::vector<std::size_t> starts = bodyStarts(text, std::move(invalid));
            if (starts.empty() || round == kRepairRounds || !message_) return;
            std::string repaired;
            repaired.reserve(text.size() + 2 * starts.size());
            std::size_t from = 0;
            for (std::size_t at : starts) {
                repaired.append(text.substr(from, at - from)).append("\r\n");
                from = at;
            }
            repaired.append(text.substr(from));
            message_.reset();
            source_.reset();
            repaired_ = std::move(repaired);
            text = repaired_;
        }
    }
    GMimeMessage* get() const { return message_.get(); }

  private:
    std::string repaired_;  // what was read, when the message needed blank lines
    std::unique_ptr<BorrowedStream> source_;
    GPtr<GMimeMessage> message_;  // its parts read from source_
};

struct Leaf {
    GMimeObject* obj;
    std::string type;  // lower case "type/subtype"
    std::optional<std::string> name;
    bool attachmentDisposition;
    // A multipart whose boundaries never came: its content is text.
    bool boundless = false;
};

bool isTokenChar(char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// "type/subtype" at the start of a Content-Type value, blanks allowed around the '/'.
bool startsWithMediaType(std::string_view value) {
    std::size_t i = value.find_first_not_of(" \t\r\n");
    auto token = [&] {
        std::size_t start = i;
        while (i < value.size() && isTokenChar(value[i])) ++i;
        return i > start;
    };
    auto blanks = [&] {
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    };
    if (i == std::string_view::npos || !token()) return false;
    blanks();
    if (i >= value.size() || value[i] != '/') return false;
    ++i;
    blanks();
    return token();
}

// The part's type; a Content-Type without a subtype or that does not parse ("text", "<html>",
// empty) is text/plain, as readers of real mail take it (GMime makes it
// application/octet-stream).
std::string leafType(GMimeObject* obj) {
    const char* raw = g_mime_object_get_header(obj, "Content-Type");
    if (raw && !startsWithMediaType(raw)) return "text/plain";
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (!ct) return "text/plain";
    char* t = g_mime_content_type_get_mime_type(ct);
    std::string type = asciiLower(t ? t : "");
    g_free(t);
    return type;
}

void collectLeaves(GMimeObject* obj, std::vector<Leaf>& out) {
    if (!obj) return;
    bool boundless = false;
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) collectLeaves(g_mime_multipart_get_part(mp, i), out);
        if (n > 0) return;
        boundless = true;
    }
    Leaf leaf{obj, boundless ? "text/plain" : leafType(obj), partFileName(obj), false, boundless};
    GMimeContentDisposition* cd = g_mime_object_get_content_disposition(obj);
    leaf.attachmentDisposition = cd && g_mime_content_disposition_is_attachment(cd);
    out.push_back(std::move(leaf));
}

bool isText(const Leaf& leaf) { return leaf.type.rfind("text/", 0) == 0; }

// A text part that may be (part of) the body: inline, without a name.
bool bodyCandidate(const Leaf& l) {
    return isText(l) && !l.name && !l.attachmentDisposition &&
           (GMIME_IS_PART(l.obj) || l.boundless);
}

// The content of a leaf with its transfer encoding undone.
std::string leafBytes(const Leaf& leaf) {
    if (!leaf.boundless) return partBytes(GMIME_PART(leaf.obj));
    const char* text = g_mime_multipart_get_prologue(GMIME_MULTIPART(leaf.obj));
    return text ? text : "";
}

// The plain texts of the body below obj, in message order: every one in a mixed (or any other)
// multipart, the first alternative that has one in an alternative.
void plainBodyParts(GMimeObject* obj, const std::map<GMimeObject*, std::size_t>& index,
                    const std::vector<Leaf>& leaves, std::vector<std::size_t>& out) {
    if (!obj) return;
    if (GMIME_IS_MULTIPART(obj) && g_mime_multipart_get_count(GMIME_MULTIPART(obj)) > 0) {
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
    if (const char* cs = g_mime_object_get_content_type_parameter(obj, "charset")) return cs;
    // A type that does not parse still names its charset among its parameters.
    const char* raw = g_mime_object_get_header(obj, "Content-Type");
    const char* params = raw ? std::strchr(raw, ';') : nullptr;
    if (!params) return "";
    GPtr<GMimeParamList> list(g_mime_param_list_parse(nullptr, params));
    GMimeParam* charset = list ? g_mime_param_list_get_parameter(list.get(), "charset") : nullptr;
    const char* value = charset ? g_mime_param_get_value(charset) : nullptr;
    return value ? value : "";
}

}  // namespace

void ensureMimeInitialised() {
    std::lock_guard lock(mimeMutex());
    if (mimeStarted) return;
    g_mime_init();
    // GMime's lenient search for encoded words inside words grows with the square of a
    // header (a crafted subject froze a poll for minutes). Header texts and file names are
    // decoded from the raw values here anyway, so GMime may keep to whole words.
    g_mime_parser_options_set_rfc2047_compliance_mode(g_mime_parser_options_get_default(),
                                                      GMIME_RFC_COMPLIANCE_STRICT);
    mimeStarted = true;
    // Shut down once, when the process ends: GMime set up again after its shutdown prints
    // GLib-CRITICAL lines and keeps memory of the first round, at every pass of a resident poller.
    std::atexit(shutdownMime);
}

std::string headerBlockText(std::string_view raw) {
    std::string header = toCrLf(headerBlockOf(raw));
    if (!header.empty() && header.back() != '\n') header += "\r\n";
    return header;
}

MessageTexts decodeHeaderTexts(std::string_view raw) {
    ensureMimeInitialised();
    MessageTexts texts;
    texts.header = headerBlockText(raw);
    if (auto s = findHeaderField(texts.header, "Subject")) texts.subject = decodeHeaderText(*s);
    if (auto f = findHeaderField(texts.header, "From")) texts.from = decodeHeaderText(*f);
    if (auto d = findHeaderField(texts.header, "Date")) texts.date = guessToCp932(*d);
    return texts;
}

DecodedMessage decodeMessage(std::string_view raw, const std::string& folder,
                             std::size_t holdUpTo) {
    ensureMimeInitialised();
    DecodedMessage result;
    result.texts = decodeHeaderTexts(raw);
    ParsedMessage message(raw);
    if (!message.get()) {
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
        std::string fallback;   // when nothing of the name can be used
        GMimeObject* part;      // a GMimePart or a GMimeMessagePart
        std::string_view uu;    // else a uuencoded block inside one of bodyBytes
        std::string text = {};  // else these bytes (a multipart without boundaries)
    };
    std::vector<Pending> files;
    std::vector<std::string> bodyBytes;
    bodyBytes.reserve(body.size());  // the blocks point into these strings
    for (std::size_t i : body) {
        const Leaf& leaf = leaves[i];
        bodyBytes.push_back(leafBytes(leaf));
        // Phone mailers put a picture between two texts: the body is all of them, in order.
        if (bodyBytes.size() > 1) result.body += "\r\n";
        result.body += toCrLf(textToCp932(bodyBytes.back(), leafCharset(leaf.obj)));
    }
    std::vector<bool> inBody(leaves.size());
    for (std::size_t i : body) inBody[i] = true;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const Leaf& leaf = leaves[i];
        if (inBody[i] || !isAttachment(leaf)) continue;
        std::string fallback = "attachment" + extensionForType(leaf.type);
        if (leaf.boundless)
            files.push_back({leaf.name.value_or(fallback), fallback, nullptr, {}, leafBytes(leaf)});
        else if (GMIME_IS_PART(leaf.obj) || GMIME_IS_MESSAGE_PART(leaf.obj))
            files.push_back({leaf.name.value_or(fallback), fallback, leaf.obj, {}});
    }
    // The blocks stay in the text too: a saved message can then be extracted again.
    for (std::size_t k = 0; k < body.size(); ++k)
        if (leaves[body[k]].type == "text/plain")
            for (auto& block : findUuBlocks(bodyBytes[k]))
                files.push_back({std::move(block.name), "attachment.bin", nullptr, block.text});
    const bool hold = raw.size() <= holdUpTo &&
                      std::none_of(files.begin(), files.end(),
                                   [](auto& f) { return f.part && !GMIME_IS_PART(f.part); });
    if (hold) {
        for (auto& f : files) {
            std::string name = safeAttachmentName(f.name, f.fallback);
            if (!f.part && f.uu.empty())
                result.held.push_back({std::move(name), std::move(f.text)});
            else if (!f.part)
                result.held.push_back({std::move(name), uuBlockBytes(f.uu)});
            else
                result.held.push_back({std::move(name), partBytes(GMIME_PART(f.part))});
        }
        return result;
    }
    // Without a folder nothing is written (the caller wants the texts only).
    if (folder.empty()) return result;
    TakenNames taken;
    for (auto& f : files) {
        try {
            NewAttachmentFile file(folder, safeAttachmentName(f.name, f.fallback), taken);
            if (!f.part && f.uu.empty())
                file.write(f.text.data(), f.text.size());
            else if (!f.part)
                writeUuBlock(f.uu, file);
            else if (GMIME_IS_PART(f.part))
                writeDecodedPart(GMIME_PART(f.part), file);
            else if (GMimeMessage* inner =
                         g_mime_message_part_get_message(GMIME_MESSAGE_PART(f.part)))
                writeMessage(inner, file);
            result.attachmentNames.push_back(file.finish());
        } catch (const FileError& e) {
            // The rest of the message's attachments are not written either.
            result.attachmentError = MailError(e.what(), MailError::Kind::AttachmentFailed);
            break;
        }
    }
    return result;
}

void writeHeldAttachments(DecodedMessage& message, const std::string& folder) {
    TakenNames taken;
    for (const HeldAttachment& a : message.held) {
        try {
            message.attachmentNames.push_back(writeNewAttachment(folder, a.name, a.bytes, taken));
        } catch (const FileError& e) {
            // The rest of the message's attachments are not written either.
            message.attachmentError = MailError(e.what(), MailError::Kind::AttachmentFailed);
            break;
        }
    }
}

bool hasAttachment(std::string_view raw) {
    ensureMimeInitialised();
    ParsedMessage message(raw);
    if (!message.get()) return false;
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
        if (leaves[i].type == "text/plain" && !findUuBlocks(leafBytes(leaves[i])).empty())
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
