// Who a mail goes from and to: address lists checked strictly before anything is sent.
#include <algorithm>

#include "mail/mime/mime_message.h"
#include "mail/smtp/smtp_parts.h"
#include "platform/codepage.h"

namespace korv::mail {

using namespace std::string_view_literals;

namespace {

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
        throw MailError(utf8ToCp932(role) + "のアドレスに改行または NUL 文字があります: \""_cp +
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

}  // namespace

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
    throw MailError(utf8ToCp932(role) + "のアドレスが正しくありません: \""_cp + shown(what) + "\"");
}

AddressList checkedAddresses(const std::string& cp932List, const char* role) {
    AddressList result{parseAddresses(cp932List, role), {}};
    collectMailboxes(result.list.get(), role, result.mailboxes);
    return result;
}

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
    if (server.empty()) throw MailError("SMTPサーバが設定されていません"_cp);
    for (unsigned char c : server)
        if (c <= 0x20 || c == 0x7F)
            throw MailError("SMTPサーバ名に使えない文字があります: \""_cp + shown(server) + "\"");
}

std::vector<std::string> envelopeAddresses(const std::string& cp932List, const char* role) {
    ensureMimeInitialised();
    auto list = checkedAddresses(cp932List, role);
    if (list.mailboxes.empty()) refuseAddress(role, cp932List);
    return list.mailboxes;
}

}  // namespace korv::mail
