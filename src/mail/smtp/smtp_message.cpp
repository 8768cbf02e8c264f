// The outgoing message as GMime builds it.
#include <gmime/gmime.h>

#include <algorithm>

#include "mail/mime/gmime_support.h"
#include "mail/mime/mime_message.h"
#include "mail/smtp/smtp_parts.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv::mail {
namespace {

std::string contentTypeFor(const std::string& cp932Path) {
    std::string ext = asciiLower(extensionOf(cp932Path));
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

}  // namespace

std::string buildMessage(const OutgoingMail& mail) {
    ensureMimeInitialised();
    Envelope envelope = checkedEnvelope(mail);
    if (hasLineBreakOrNul(mail.subject))
        throw MailError("件名に改行または NUL 文字があります: \""_cp + shown(mail.subject) + "\"");
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
            throw MailError("添付ファイル名に改行または NUL 文字があります: \""_cp +
                            shown(baseCp932) + "\"");
        if (folderExists(mail.attachmentPath))
            throw FileError(mail.attachmentPath + " を添付できません: フォルダです"_cp);
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
        // Older Japanese mailers read only an RFC 2047 name on Content-Type; the words are ours
        // (as in the subject), GMime writes them as they are.
        if (std::any_of(baseCp932.begin(), baseCp932.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            GMimeParamList* typeParams = g_mime_content_type_get_parameters(
                g_mime_object_get_content_type(GMIME_OBJECT(file.get())));
            g_mime_param_list_set_parameter(typeParams, "name", encodedWords(baseCp932).c_str());
            g_mime_param_set_encoding_method(g_mime_param_list_get_parameter(typeParams, "name"),
                                             GMIME_PARAM_ENCODING_METHOD_RFC2047);
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

}  // namespace korv::mail
