#pragma once
// One POP3 connection: a socket (optionally TLS) with a time-out on every wait, line reading
// with a length limit (pop3_wire.cpp), single-line and multi-line responses (pop3_connection.cpp).
//
// TLS (pop3s, or STLS on the plain port) checks the server's certificate and name against the
// system's certificate authorities (SSL_CERT_FILE / SSL_CERT_DIR are honoured as usual), the
// CaFile of the settings and KORVANTO_CA_FILE.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/mail_error.h"
#include "mail/security.h"

namespace korv::mail {

struct Pop3Address {
    std::string host;
    int port = 110;
    bool tls = false;
    bool portGiven = false;
};

// "host", "host:port", "pop3://host[:port]", "pop3s://host[:port]" (an IPv6 host in brackets);
// false when malformed.
bool parsePop3Address(const std::string& server, Pop3Address& out);

struct Pop3Timeouts {
    int connectMs = 30000;
    int readMs = 60000;  // every wait for the server, also for each send
    // Each reply (status line and multi-line body) must arrive within readMs plus its bytes at
    // this rate, so that a server trickling a byte now and then cannot hold the connection. 4 KiB/s
    // is far below any real link (a 56k modem does 7 KB/s), yet a stall falls behind it within
    // readMs. 0: no deadline, only the idle time-out.
    int minBytesPerSecond = 4096;
};
// The defaults a connection starts from when its opener names none (the C face's, and the
// program's unless the account says otherwise); tests shorten them.
Pop3Timeouts& pop3Timeouts();

// The largest message the library takes; a reply beyond it ends the connection.
inline constexpr std::size_t kPop3MaxMessageBytes = std::size_t{1} << 30;
struct Pop3Limits {
    std::size_t maxMessageBytes = kPop3MaxMessageBytes;
};
// The default as pop3Timeouts; tests lower it.
Pop3Limits& pop3Limits();

// Received bytes in malloc'ed storage grown by realloc: glibc moves a big block by remapping
// its pages instead of copying them, and pages not yet written are not resident, so the memory
// a message takes follows the bytes actually received.
class ReplyBuffer {
  public:
    ReplyBuffer() = default;
    ~ReplyBuffer();
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;
    ReplyBuffer(ReplyBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ReplyBuffer& operator=(ReplyBuffer&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }

    void reserve(std::size_t bytes);
    void append(const char* bytes, std::size_t n) {
        if (n == 0) return;
        if (capacity_ - size_ < n) grow(n);
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void clear() { size_ = 0; }
    // Gives the memory back.
    void release();
    const char* data() const { return data_ ? data_ : ""; }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {data(), size_}; }

  private:
    void grow(std::size_t n);
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// What a multi-line reply keeps of its lines.
enum class Pop3Keep { All, Header, Nothing };

// Longer than any line a sane server sends (mail lines are at most 998 bytes, broken mailers
// send whole attachments as one line); a longer one ends the connection.
inline constexpr std::size_t kPop3MaxLineBytes = std::size_t{8} << 20;

// A status line: +OK (ok) or -ERR, with the text after the status word.
struct Pop3Reply {
    bool ok = false;
    std::string text;
    std::string status;  // the whole line, for an error text
    bool more = false;   // a SASL continuation ("+ "): text is its base64 challenge
};

// Every failure throws MailError. One of the connection itself (a transport failure, a passed
// deadline, a reply that is no POP3) has MailError::Kind::Broken and breaks the connection for
// good: every later use throws the same text again.
class Pop3Connection {
  public:
    Pop3Connection();
    ~Pop3Connection();
    Pop3Connection(const Pop3Connection&) = delete;
    Pop3Connection& operator=(const Pop3Connection&) = delete;

    // Connects, reads the greeting and protects the connection as options say: TLS from the
    // first byte for pop3s://, port 995 (Security::Auto) or Security::Implicit, else STLS,
    // which only Security::None goes without. A server that cannot give TLS ends the
    // connection (MailError::Kind::Insecure) before anything of the login is sent.
    // The time-outs and the size limit hold for this connection's whole life.
    void open(const Pop3Address& address, const ConnectOptions& options,
              const Pop3Timeouts& timeouts, const Pop3Limits& limits);
    const Pop3Limits& limits() const { return limits_; }
    const std::string& greeting() const { return greeting_; }
    // The server's CAPA lines, empty when it has none. Asked for once, and again after TLS has
    // begun (what came in clear is not trusted) or when again is true.
    const std::vector<std::string>& capabilities(bool again = false);
    // "host:port", for error texts.
    const std::string& server() const { return server_; }
    // Sends a command and reads its status line; a -ERR is a reply like +OK.
    Pop3Reply exchange(const std::string& line);
    // As exchange, inside a SASL exchange (AUTH): a "+ " continuation is a reply too (more).
    Pop3Reply saslExchange(const std::string& line);
    // The connection speaks TLS.
    bool secure() const { return tls_ != nullptr && !broken_; }
    // As exchange, for a command that must be carried out: the text after +OK. A -ERR throws
    // refusal() of it.
    std::string command(const std::string& line);
    // The server's -ERR as an error (MailError::Kind::Refused), its words masked and made
    // printable.
    MailError refusal(const Pop3Reply& reply) const;
    // Sends commands now (in one write) whose replies are read later, when exchange() is called
    // with the same line; the server works on them meanwhile. Replies come in order: an exchange()
    // that is not the next one sent ahead first reads and drops every reply still outstanding.
    void sendAhead(const std::vector<std::string>& lines, bool multiline);
    bool isAhead(const std::string& line) const;
    bool hasAhead() const { return !ahead_.empty(); }
    // Reads a multi-line body up to the terminating ".", dot-unstuffed, lines ending in CR LF,
    // always to its end; keep says which lines go into data (Header: up to the empty line).
    // sizeHint (the expected size, 0 when unknown) only saves reallocations.
    void readMultiline(ReplyBuffer& data, std::size_t sizeHint = 0, Pop3Keep keep = Pop3Keep::All);
    bool broken() const { return broken_; }
    // The text of the failure that broke the connection.
    const std::string& brokenError() const { return brokenError_; }
    // Ends the connection for a reply that made no sense to the caller.
    [[noreturn]] void markBroken(const std::string& why) { fail(why); }
    // Every occurrence is masked in the server texts that go into errors (a server may echo it).
    void setSecret(std::string secret) { secret_ = std::move(secret); }
    // Says QUIT while the connection stands; a failed QUIT changes nothing for anyone.
    void quit() noexcept;
    void close();
    // From another thread: a wait for the server in progress ends now, as if it had broken off.
    void interrupt() noexcept;

  private:
    void connectSocket(const Pop3Address& address);
    Pop3Reply readStatus();
    void dropAhead();
    void beginReply();
    void waitForReply(short events);
    std::string_view nextLine();
    // Appends the whole lines at the front of what is received that need no change (CR LF
    // ended, no leading dot, not too long); false when there is none.
    bool appendOrdinaryLines(ReplyBuffer& data);
    void fill();
    void sendAll(const std::string& data);
    void startTls(const std::string& host, const std::string& caFile);
    void handshake();
    void upgradeWithStls(const std::string& host, const std::string& caFile);
    // Breaks the connection for good; the error has that kind.
    [[noreturn]] void fail(const std::string& why, MailError::Kind kind = MailError::Kind::Broken);

    struct Tls;
    Pop3Timeouts timeouts_;
    Pop3Limits limits_;
    int fd_ = -1;
    std::unique_ptr<Tls> tls_;
    std::string server_;
    std::string buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::string greeting_;
    std::vector<std::string> capabilities_;
    bool capabilitiesKnown_ = false;
    std::string capaRefusal_;  // the status line of a refused CAPA
    struct Ahead {
        std::string line;
        bool multiline;
    };
    std::deque<Ahead> ahead_;
    bool broken_ = false;
    std::string brokenError_;
    std::string secret_;
    // The reply being read: when reading it began, and where in the stream of received bytes
    // (received_ counts them all) it starts.
    std::chrono::steady_clock::time_point replyStart_;
    std::chrono::steady_clock::time_point lastByteAt_;
    std::uint64_t replyOffset_ = 0;
    std::uint64_t received_ = 0;
};

// Ends the text of every failure that keeps the login from going out without TLS.
const std::string& passwordNotSent();

// Words of a listing line, however many blanks stand between them.
std::vector<std::string_view> words(std::string_view line);

// The words after a capability's tag (none for a bare tag), or nullopt when the lines lack it.
std::optional<std::vector<std::string>> findCapability(const std::vector<std::string>& lines,
                                                       std::string_view tag);

// The server's words for an error text: every occurrence of secret masked first, then cut to a
// few hundred bytes; control bytes become '?', 8-bit text becomes CP932.
std::string serverText(std::string_view reply, std::string_view secret = {});

}  // namespace korv::mail
