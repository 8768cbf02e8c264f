#include "mail/smtp_mail.h"

#include <curl/curl.h>
#include <gmime/gmime.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "mail/header_text.h"
#include "mail/mime_message.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/whole_file.h"

namespace korv::mail {
namespace {

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

// Address names are written as UTF-8 words, so GMime never converts them through iconv.
GPtr<InternetAddressList> parseAddresses(const std::string& cp932List) {
    std::string utf8 = cp932ToUtf8(cp932List);
    GPtr<InternetAddressList> list(internet_address_list_parse(nullptr, utf8.c_str()));
    if (list) {
        int n = internet_address_list_length(list.get());
        for (int i = 0; i < n; ++i)
            internet_address_set_charset(internet_address_list_get_address(list.get(), i), "UTF-8");
    }
    return list;
}

void collectMailboxes(InternetAddressList* list, std::vector<std::string>& out) {
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            if (addr && *addr) out.push_back(addr);
        } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
            collectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), out);
        }
    }
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

void setRawHeader(GMimeObject* obj, const char* name, const std::string& asciiValue) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(obj);
    g_mime_header_list_set(headers, name, "", nullptr);
    GMimeHeader* header = g_mime_header_list_get_header(headers, name);
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

std::string smtpUrl(const std::string& server) {
    std::string lowered = server;
    for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered.rfind("smtp://", 0) == 0 || lowered.rfind("smtps://", 0) == 0) return server;
    std::string hostPort = server;
    bool hasPort = false;
    if (!hostPort.empty() && hostPort.front() == '[')
        hasPort = hostPort.find("]:") != std::string::npos;
    else
        hasPort = hostPort.find(':') != std::string::npos;
    return "smtp://" + hostPort + (hasPort ? "" : ":25");
}

}  // namespace

std::vector<std::string> envelopeAddresses(const std::string& cp932List, const char* role) {
    ensureMimeInitialised();
    std::vector<std::string> out;
    auto list = parseAddresses(cp932List);
    if (list) collectMailboxes(list.get(), out);
    if (out.empty())
        throw SmtpError(utf8ToCp932(role) + cp("のアドレスが正しくありません: \"") + cp932List +
                        "\"");
    return out;
}

std::string buildMessage(const OutgoingMail& mail) {
    ensureMimeInitialised();
    std::string fromAddress = envelopeAddresses(mail.from, "送信者").front();
    envelopeAddresses(mail.to, "宛先");

    GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    auto fromList = parseAddresses(mail.from);
    internet_address_list_append(g_mime_message_get_from(message.get()), fromList.get());
    auto toList = parseAddresses(mail.to);
    internet_address_list_append(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO),
                                 toList.get());
    // The subject's words are made here: GMime would convert Japanese through iconv.
    setRawHeader(GMIME_OBJECT(message.get()), "Subject", encodeHeaderText(mail.subject));
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(message.get(), now);
    g_date_time_unref(now);
    char* id = g_mime_utils_generate_message_id(domainOf(fromAddress).c_str());
    g_mime_message_set_message_id(message.get(), id);
    g_free(id);

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
        if (folderExists(mail.attachmentPath))
            throw FileError(mail.attachmentPath + cp(" を添付できません: フォルダです"));
        std::string bytes = ReadFileToString(mail.attachmentPath);
        std::string type = contentTypeFor(mail.attachmentPath);
        std::size_t slash = type.find('/');
        GPtr<GMimePart> file(g_mime_part_new_with_type(type.substr(0, slash).c_str(),
                                                       type.substr(slash + 1).c_str()));
        g_mime_part_set_content(file.get(), wrapperOf(bytes).get());
        g_mime_part_set_content_encoding(file.get(), GMIME_CONTENT_ENCODING_BASE64);
        std::string name = cp932ToUtf8(baseName(mail.attachmentPath));
        g_mime_part_set_filename(file.get(), name.c_str());
        // Name parameters in UTF-8 (RFC 2231) rather than a charset GMime would pick.
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

void sendMail(const std::string& server, const OutgoingMail& mail) {
    if (server.empty()) throw SmtpError(cp("SMTPサーバが設定されていません"));
    std::string from = envelopeAddresses(mail.from, "送信者").front();
    std::vector<std::string> to = envelopeAddresses(mail.to, "宛先");
    std::string data = buildMessage(mail);

    static const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    std::unique_ptr<CURL, CurlCleanup> curl(curlReady ? curl_easy_init() : nullptr);
    if (!curl) throw SmtpError(cp("SMTPの準備ができません (libcurl)"));
    std::unique_ptr<curl_slist, SlistCleanup> rcpt;
    for (const auto& a : to) rcpt.reset(curl_slist_append(rcpt.release(), ("<" + a + ">").c_str()));

    std::string url = smtpUrl(server);
    std::string reply;
    char errorText[CURL_ERROR_SIZE] = "";
    Upload upload{&data};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + from + ">").c_str());
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
    CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK) return;

    std::string reason = errorText[0] ? errorText : curl_easy_strerror(rc);
    std::string text;
    if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST ||
        rc == CURLE_OPERATION_TIMEDOUT)
        text = cp("SMTPサーバ ") + server + cp(" に接続できません: ") + reason;
    else
        text = cp("SMTPサーバ ") + server + cp(" への送信に失敗しました: ") + reason;
    if (!reply.empty() && rc != CURLE_COULDNT_CONNECT && rc != CURLE_COULDNT_RESOLVE_HOST)
        text += cp(" (サーバの応答: ") + guessToCp932(reply) + ")";
    throw SmtpError(text);
}

}  // namespace korv::mail
