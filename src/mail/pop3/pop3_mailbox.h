#pragma once
// The program's door to a POP3 mailbox: opened from the settings values in one call, then count,
// ids, header, size, fetch, remove, close. Every failure throws MailError with a kind the caller
// acts on (see mail_error.h); a broken connection stays broken, every later call throws the same.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mime/mime_message.h"
#include "mail/pop3/pop3_connection.h"

namespace korv::mail {

// Who signs in and how. A new sign-in method is a new Method and a branch of Pop3Mailbox::login.
struct Credentials {
    enum class Method { Password, Apop, Bearer };
    Method method = Method::Password;
    std::string user;
    // As the settings give it (a password command's output included); for Bearer the OAuth2
    // access token.
    std::string password;
    // Bearer: a fresh token, asked for once when the server refuses the one given (the provider
    // may have revoked it early).
    std::function<std::string()> renew = {};
};

// The settings values a mailbox is opened from.
struct Pop3Account {
    std::string server;      // "host[:port]", "pop3://", "pop3s://"
    ConnectOptions options;  // connectOptions() of the security and CA file settings
    Credentials credentials;
    Pop3Timeouts timeouts = pop3Timeouts();
    Pop3Limits limits = pop3Limits();
};

// How far Pop3Mailbox::open came, filled also when it throws.
struct OpenProgress {
    bool connected = false;  // the login was attempted
    int loginDelay = 0;      // seconds the server wants between two logins (its LOGIN-DELAY)
};

class Pop3Mailbox {
  public:
    // Connects as the settings say and logs in. An error before the connection stands has kind
    // Settings, Insecure, Broken or Failed; one of the login LoginRefused, LoginLater,
    // LoginServerFault or Broken.
    static std::unique_ptr<Pop3Mailbox> open(const Pop3Account& account,
                                             OpenProgress* progress = nullptr);
    // Only the connection (for the C face, whose login is a call of its own).
    static std::unique_ptr<Pop3Mailbox> connect(const std::string& server,
                                                const ConnectOptions& options,
                                                const Pop3Timeouts& timeouts = pop3Timeouts(),
                                                const Pop3Limits& limits = pop3Limits());
    ~Pop3Mailbox();
    Pop3Mailbox(const Pop3Mailbox&) = delete;
    Pop3Mailbox& operator=(const Pop3Mailbox&) = delete;

    // The one login: returns the message count (STAT). What an earlier login learnt is dropped.
    // A token (Bearer) goes only over TLS: SASL OAUTHBEARER (RFC 7628) when the server's SASL
    // capability lists it, else XOAUTH2.
    int login(const Credentials& credentials);
    int count() const { return count_; }
    // Seconds the server wants between two logins; 0 when it names none.
    int loginDelay() const { return loginDelay_; }

    // The unique ids of the messages the listing has, in number order, as stored (see
    // storedId). A refused listing throws Refused: without ids no message can be told apart.
    std::vector<std::pair<int, std::string>> ids();
    // The raw UIDL listing (number -> id as sent), loaded once.
    const std::map<int, std::string>& idListing();
    // The size from the LIST listing; -1 when it has none for the message or LIST was refused.
    long long size(int number);
    // Whether LIST was refused, and the refusal's text.
    const std::string* sizeListingRefusal() const;

    // The caller will ask for these messages (header, then fetch) in this order: the next few
    // are asked for while the caller still works on the one before.
    void fetchInOrder(const std::vector<int>& numbers);
    // Asks for these messages now (header and whole message), in one request.
    void askAhead(const std::vector<int>& numbers);

    // The header texts of a message (TOP n 0, or RETR where TOP is refused).
    MessageTexts header(int number);
    // Its header text alone (MessageTexts::header), the fields not decoded.
    std::string headerText(int number);
    // The whole message decoded, its attachments written into folder ("" writes none). An
    // attachment that cannot be written is in attachmentError and leaves none of its bytes.
    // holdUpTo: see decodeMessage.
    DecodedMessage fetch(int number, const std::string& folder, std::size_t holdUpTo = 0);
    // The whole message as the server sends it (dot-stuffing undone), for decodeMessage on
    // another thread.
    ReplyBuffer receive(int number);
    void remove(int number);
    // Says QUIT while the connection stands and ends it; a failed QUIT changes nothing.
    void close() noexcept;
    // From another thread, while this one waits for the server: the wait ends as if the
    // connection had broken off, and so does every later use.
    void interrupt() noexcept { connection_.interrupt(); }

    // "host:port", for error texts.
    const std::string& server() const { return connection_.server(); }
    // Throws the error that broke the connection, if it is broken.
    void checkUsable() const;
    // Throws Failed when the number is none of the mailbox's.
    void checkNumber(int number) const;
    // An error of this mailbox's server.
    [[noreturn]] void refuse(const std::string& reason, MailError::Kind kind) const;

  private:
    Pop3Mailbox() = default;
    // TOP n 0 (RETR where TOP is refused), only the header kept.
    void readHeader(int number, ReplyBuffer& data);
    struct Listing {
        bool loaded = false;
        bool refused = false;
        std::string refusal;                 // the server's -ERR, handed out again
        std::map<int, std::string> entries;  // message number -> second word of its line
    };
    void loadListing(const char* command, Listing& listing);
    long long checkAnnouncedSize(int number);
    void keepAhead(int number);
    std::optional<std::size_t> planIndex(int number);

    Pop3Connection connection_;
    bool extensions_ = true;  // ConnectOptions::extensions
    int loginDelay_ = 0;
    int count_ = -1;  // from STAT after the login; -1 before
    Listing uidls_;
    Listing sizes_;
    bool topRefused_ = false;  // the server answered TOP with -ERR: the header comes by RETR
    std::vector<int> plan_;    // fetchInOrder's numbers
    std::size_t planAt_ = 0;   // where in plan_ the last message asked about stands
    std::size_t planAsked_ = 0;
    bool closed_ = false;
};

// Digits only; a figure beyond what any caller can use stays at LLONG_MAX. -1 when no number.
long long toNumber(std::string_view digits);
// The kind of a login refused with this reply text (its RFC 2449 response code).
MailError::Kind loginRefusalKind(std::string_view text);
// The id as the program stores it: an id made only of 0x21-0x7E unchanged; any other as a
// blank followed by the id with every byte outside that range and every '%' as %XX.
std::string storedId(std::string_view id);
std::string md5Hex(const std::string& text);

}  // namespace korv::mail
