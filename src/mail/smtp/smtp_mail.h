#pragma once
// Outgoing mail: the message built with GMime and sent through libcurl. A MailError that sending
// throws names the server and includes its reply, or names the address, server name or header
// value that was refused before anything was sent.
#include <string>
#include <vector>

#include "mail/mail_error.h"
#include "mail/security.h"

namespace korv::mail {

struct OutgoingMail {
    std::string from;            // CP932, an address, optionally with a display name
    std::string to;              // CP932, one or more addresses separated by commas
    std::string subject;         // CP932
    std::string body;            // CP932
    std::string attachmentPath;  // CP932; empty = none
    // "Name: value" lines (CR LF or LF between them), written after the fields of our own; ASCII
    // values only (message ids, as a reply's In-Reply-To and References).
    std::string extraHeaders;
    std::string cc;   // CP932 address list, written to the header and the envelope
    std::string bcc;  // CP932 address list, in the envelope only
};

// The message as sent: CR LF line ends, headers folded at 78 characters (a word too long for a
// line goes as RFC 2047 words), Japanese header text as ISO-2022-JP words when it fits, else
// UTF-8, the text as ISO-2022-JP when it fits, else UTF-8, and the attachment in base64. Throws
// FileError when the attachment cannot be read, MailError when an address or a header value is
// unusable (a line break or NUL, an address list that does not parse).
std::string buildMessage(const OutgoingMail& mail);

// The bare addresses of an address list (for the envelope). Throws MailError naming the role and
// the list when it holds CR, LF or NUL, does not parse as an RFC 5322 address list, holds an
// entry that is no address, or holds no address at all.
std::vector<std::string> envelopeAddresses(const std::string& cp932List, const char* role);

// How a mail is submitted: the protection of the connection (Auto: STARTTLS when the server
// offers it; Required: STARTTLS or nothing; Implicit: smtps; None: plain), what it trusts
// besides the system's authorities, and the login (none when user is empty; only over TLS
// unless the protection is None).
struct SmtpOptions {
    Security security = Security::None;
    std::string caFile;    // CP932 path of a PEM file or folder
    std::string user;      // CP932
    std::string password;  // bytes as the server takes them
    // An OAuth2 access token: the login is OAUTHBEARER or XOAUTH2 with it instead of the password.
    std::string bearer{};
};

// Sends to "host[:port]" (port 25 by default, 465 for Implicit), "smtp://host[:port]" or
// "smtps://host[:port]" (TLS whatever options say). Everything is checked before the server is
// contacted: an unusable server name, address or header value sends nothing to anyone. Every
// wait has a time-out. Throws MailError naming the server and the reason (a refused
// certificate or login among them; a refused login has kMailLibRefused), or FileError for the
// attachment.
void sendMail(const std::string& server, const OutgoingMail& mail, const SmtpOptions& options = {});

}  // namespace korv::mail
