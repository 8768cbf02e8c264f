#include "mail/mime/attachment_extract.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mail/buffers.h"
#include "mail/mime/gmime_support.h"
#include "mail/mime/header_text.h"
#include "mail/mime/mime_message.h"
#include "platform/codepage.h"

namespace korv::mail {
namespace {

GPtr<GMimeMessage> parse(std::string_view raw) {
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

GMimeMessagePartial* partialOf(GMimeMessage* message) {
    GMimeObject* top = message ? g_mime_message_get_mime_part(message) : nullptr;
    return top && GMIME_IS_MESSAGE_PARTIAL(top) ? GMIME_MESSAGE_PARTIAL(top) : nullptr;
}

struct PartInfo {
    bool partial = false;
    int number = 0;
    int total = 0;
    std::string id;
};

PartInfo partInfo(std::string_view text) {
    PartInfo info;
    auto message = parse(text);
    if (GMimeMessagePartial* p = partialOf(message.get())) {
        info.partial = true;
        info.number = g_mime_message_partial_get_number(p);
        info.total = g_mime_message_partial_get_total(p);
        const char* id = g_mime_message_partial_get_id(p);
        info.id = id ? id : "";
    }
    return info;
}

constexpr int kMailBufferCapacity = 8193;

// The line before position `end` (which follows a line break), without its line break.
std::string_view lineBefore(std::string_view text, std::size_t end) {
    std::size_t stop = end;
    if (stop > 0 && text[stop - 1] == '\n') --stop;
    if (stop > 0 && text[stop - 1] == '\r') --stop;
    std::size_t start = text.rfind('\n', stop == 0 ? 0 : stop - 1);
    start = start == std::string_view::npos || stop == 0 ? 0 : start + 1;
    return text.substr(start, stop - start);
}

bool isFieldLine(std::string_view line) {
    if (line.substr(0, 2) == "--") return false;
    std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    for (unsigned char c : line.substr(0, colon))
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

bool isContinuationLine(std::string_view line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t') &&
           line.find_first_not_of(" \t\r") != std::string_view::npos;
}

// Length of the line break that ends a part (CR LF or LF) when it is one too many: the browser
// used to save a part with one more line break at its end, which, where the parts were cut
// between two header lines, ends that header early. Such a break stands between header lines
// (or a boundary and the header after it); elsewhere an empty line is kept as it is.
std::size_t extraLineBreak(std::string_view part, std::string_view nextPart) {
    std::size_t last = part.size() >= 2 && part.substr(part.size() - 2) == "\r\n" ? 2
                       : !part.empty() && part.back() == '\n'                     ? 1
                                                                                  : 0;
    if (last == 0 || last == part.size() || part[part.size() - last - 1] != '\n') return 0;
    std::string_view before = lineBefore(part, part.size() - last);
    bool headerBefore = isFieldLine(before) || isContinuationLine(before) ||
                        (before.substr(0, 2) == "--" && before.size() > 2);
    std::string_view first = nextPart.substr(0, nextPart.find('\n'));
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    bool headerAfter = isFieldLine(first) || isContinuationLine(first);
    return headerBefore && headerAfter ? last : 0;
}

}  // namespace

SavedStatus savedMessageStatus(std::string_view text) {
    ensureMimeInitialised();
    PartInfo info = partInfo(text);
    if (info.partial) {
        if (info.number < 1 || info.id.empty()) return {-1, ""};
        return {info.number, info.id};
    }
    return {hasAttachment(text) ? 0 : -1, ""};
}

int Extraction::add(std::string_view text) {
    ensureMimeInitialised();
    if (done_) return result_;
    PartInfo info = partInfo(text);
    if (!info.partial) {
        // A whole message counts only as the first and only text.
        if (!parts_.empty()) return result_ = kExtractPartsMissing;
        return finish(std::string(text));
    }
    if (info.number < 1 || info.id.empty()) return result_ = kExtractPartsMissing;
    if (parts_.empty()) id_ = info.id;
    if (info.id != id_) return result_ = kExtractPartsMissing;
    if (info.total > 0) total_ = info.total;
    parts_.emplace(info.number, std::string(text));
    if (total_ < 1 || static_cast<int>(parts_.size()) < total_ || parts_.rbegin()->first != total_)
        return result_ = kExtractPartsMissing;

    std::vector<std::string> texts;
    for (const auto& [number, raw] : parts_) texts.push_back(raw);
    for (std::size_t i = 0; i + 1 < texts.size(); ++i)
        texts[i].resize(texts[i].size() - extraLineBreak(bodyOf(texts[i]), bodyOf(texts[i + 1])));
    std::vector<GPtr<GMimeMessage>> messages;
    std::vector<GMimeMessagePartial*> partials;
    for (const auto& text : texts) {
        messages.push_back(parse(text));
        partials.push_back(partialOf(messages.back().get()));
    }
    GPtr<GMimeMessage> whole(
        g_mime_message_partial_reconstruct_message(partials.data(), partials.size()));
    if (!whole) {
        result_ = kExtractPartsMissing;
        throw MailError("分割されたメールを結合できません"_cp, MailError::Kind::PartsMissing);
    }
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(whole.get()), nullptr, mem.get());
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return finish(std::string(reinterpret_cast<const char*>(array->data), array->len));
}

int Extraction::finish(const std::string& raw) {
    done_ = true;
    // An empty folder field means the current folder.
    DecodedMessage m = decodeMessage(raw, folder_.empty() ? std::string(".") : folder_);
    copyOut(out_.subject, kMailBufferCapacity, m.texts.subject);
    copyOut(out_.date, kMailBufferCapacity, m.texts.date);
    copyOut(out_.from, kMailBufferCapacity, m.texts.from);
    copyOut(out_.header, kMailBufferCapacity, m.texts.header);
    copyOut(out_.body, out_.bodyCapacity, m.body);
    copyOut(out_.fileName, kMailBufferCapacity, formatNamesList(m.attachmentNames));
    if (m.attachmentError) {
        result_ = kExtractCannotWrite;
        throw *m.attachmentError;
    }
    return result_ = m.attachmentNames.empty() ? kExtractNoAttachment : kExtractDone;
}

SavedMessageJoin::SavedMessageJoin(std::string folder)
    : folder_(std::move(folder)),
      subject_(kMailBufferBytes),
      date_(kMailBufferBytes),
      from_(kMailBufferBytes),
      header_(kMailBufferBytes),
      fileName_(kMailBufferBytes) {}

SavedMessageJoin::~SavedMessageJoin() = default;

int SavedMessageJoin::add(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    if (!extraction_) {
        body_.assign(text.size(), '\0');
        ExtractionOutput out{subject_.data(),
                             date_.data(),
                             from_.data(),
                             header_.data(),
                             body_.empty() ? nullptr : body_.data(),
                             static_cast<int>(std::min<std::size_t>(body_.size(), INT32_MAX)),
                             fileName_.data()};
        extraction_ = std::make_unique<Extraction>(out, folder_);
    }
    try {
        return extraction_->add(text);
    } catch (const MailError& e) {
        if (e.kind() == MailError::Kind::AttachmentFailed) return kExtractCannotWrite;
        if (e.kind() == MailError::Kind::PartsMissing) return kExtractPartsMissing;
    } catch (const std::exception&) {
    }
    return -1;
}

std::string SavedMessageJoin::fileName() const { return fileName_.data(); }

std::string SavedMessageJoin::body() const {
    return std::string(body_.data(), strnlen(body_.data(), body_.size()));
}

}  // namespace korv::mail
