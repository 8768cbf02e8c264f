#pragma once
// What the POP3 calls of the library keep per handle, and the checks every call makes first.
// Every failure throws MailError with the result code of the call it ends.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mime_message.h"
#include "mail/pop3_connection.h"

namespace korv::mail {

// A listing (UIDL or LIST), asked for once per login.
struct Listing {
    bool loaded = false;
    bool refused = false;
    std::string refusal;                 // the server's -ERR, handed out again
    std::map<int, std::string> entries;  // message number -> second word of its line
};

// A fetched message whose body did not fit the caller's buffer, handed out again on request.
struct KeptMessage {
    int number = 0;
    DecodedMessage message;
};

struct Session {
    Pop3Connection connection;
    bool extensions = true;  // ConnectOptions::extensions
    int loginDelay = 0;      // seconds, from CAPA LOGIN-DELAY
    int count = -1;          // from STAT after the login; -1 before
    Listing uidls;
    Listing sizes;
    // What GetMailSize handed out: the caller's body buffer for that message is this large.
    std::map<int, int> reportedSizes;
    bool topRefused = false;  // the server answered TOP with -ERR: the header comes by RETR
    std::optional<KeptMessage> kept;

    // An error of this session's server.
    [[noreturn]] void refuse(const std::string& reason, int code) const;
};

std::map<int, std::unique_ptr<Session>>& pop3Sessions();
// Null for an unknown handle.
Session* findSession(int handle);
int newSessionHandle();

// The session of a handle that can still talk to its server.
Session& usableSession(int handle);
// As usableSession, and the number must be one of the mailbox's.
Session& usableSession(int handle, int number);

// Digits only; a figure beyond what any caller can use stays at LLONG_MAX. -1 when no number.
long long toNumber(std::string_view digits);
// The result code of a login refused with this reply text (its RFC 2449 response code).
int loginRefusalCode(std::string_view text);
// The id as the program stores it (see MailLibPop3GetUidl).
std::string storedId(std::string_view id);
std::string md5Hex(const std::string& text);

// The SASL login with an OAuth2 access token: OAUTHBEARER (RFC 7628) when the server's SASL
// capability lists it, else XOAUTH2; only over TLS. A refusal throws MailError (kMailLibRefused)
// with the server's words, the token masked.
void bearerLogin(Pop3Connection& connection, const std::string& user, const std::string& token);

// "n value" lines of a UIDL or LIST listing, loaded once; a refusal is kept and thrown again.
void loadListing(Session& s, const char* command, Listing& listing);
// The size from the LIST listing: -1 when the listing has none for the message (or LIST was
// refused).
long long listedSize(Session& s, int number);
// Before TOP or RETR: the listed size; a message beyond the library's limit is refused without
// asking the server.
long long checkAnnouncedSize(Session& s, int number);

}  // namespace korv::mail
