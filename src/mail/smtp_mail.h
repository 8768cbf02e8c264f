#pragma once
// Outgoing mail: the message built with GMime and sent through libcurl.
#include <stdexcept>
#include <string>
#include <vector>

namespace korv::mail {

// Sending failed; the message (CP932) names the server and includes its reply.
class SmtpError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct OutgoingMail {
    std::string from;            // CP932, an address, optionally with a display name
    std::string to;              // CP932, one or more addresses separated by commas
    std::string subject;         // CP932
    std::string body;            // CP932
    std::string attachmentPath;  // CP932; empty = none
};

// The message as sent: CR LF line ends, headers encoded per RFC 2047, the text as ISO-2022-JP
// when it fits, else UTF-8, and the attachment in base64. Throws FileError when the attachment
// cannot be read, SmtpError when an address is unusable.
std::string buildMessage(const OutgoingMail& mail);

// The bare addresses of an address list (for the envelope); throws SmtpError when none is found.
std::vector<std::string> envelopeAddresses(const std::string& cp932List, const char* role);

// Sends to "host[:port]" (port 25 by default), "smtp://host[:port]" or "smtps://host[:port]".
// Every wait has a time-out. Throws SmtpError (or FileError for the attachment).
void sendMail(const std::string& server, const OutgoingMail& mail);

}  // namespace korv::mail
