#pragma once
// The pieces of sending that are checked and built before libcurl is given anything.
#include <gmime/gmime.h>

#include <string>
#include <string_view>
#include <vector>

#include "mail/mime/gmime_support.h"
#include "mail/smtp/smtp_mail.h"

namespace korv::mail {

bool hasLineBreakOrNul(std::string_view s);
// A refused value as an error text shows it: control bytes written out, long values cut.
std::string shown(std::string_view cp932);

struct AddressList {
    GPtr<InternetAddressList> list;
    std::vector<std::string> mailboxes;
};
// An address list parsed strictly; throws MailError naming the role and the list.
AddressList checkedAddresses(const std::string& cp932List, const char* role);
[[noreturn]] void refuseAddress(const char* role, std::string_view what);

struct Envelope {
    std::string from;
    std::vector<std::string> recipients;
};
// One sender, at least one recipient, every address fit for the envelope.
Envelope checkedEnvelope(const OutgoingMail& mail);
void checkServerName(const std::string& server);

// Unstructured text (a subject) as a folded header value, with RFC 2047 words where needed.
std::string foldedText(std::string_view fieldName, std::string_view cp932);

// The whole text as RFC 2047 words (ISO-2022-JP when it fits, else UTF-8), blank-separated,
// unfolded: for a parameter value that older mailers read that way.
std::string encodedWords(std::string_view cp932);

struct ExtraHeader {
    std::string name;
    std::string value;  // folded
};
// "Name: value" lines; fields of our own and anything that is no plain ASCII field are refused.
std::vector<ExtraHeader> checkedExtraHeaders(std::string_view text);

}  // namespace korv::mail
