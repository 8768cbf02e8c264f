#pragma once
// One POP3 connection: a socket (optionally TLS) with a time-out on every wait, line reading
// with a length limit, single-line and multi-line responses.
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
#include <string>
#include <string_view>
#include <vector>

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
// Process-wide; tests shorten them.
Pop3Timeouts& pop3Timeouts();

// The largest message the library takes; a reply beyond it ends the connection.
inline constexpr std::size_t kPop3MaxMessageBytes = std::size_t{1} << 30;
struct Pop3Limits {
    std::size_t maxMessageBytes = kPop3MaxMessageBytes;
};
// Process-wide; tests lower it.
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

class Pop3Connection {
  public:
    Pop3Connection();
    ~Pop3Connection();
    Pop3Connection(const Pop3Connection&) = delete;
    Pop3Connection& operator=(const Pop3Connection&) = delete;

    // Connects, reads the greeting and protects the connection as options say (STLS when the
    // server lists it in CAPA, unless Security::None); on failure returns false with error set.
    bool open(const Pop3Address& address, const ConnectOptions& options, std::string& error);
    bool isTls() const { return tls_ != nullptr; }
    const std::string& greeting() const { return greeting_; }
    // "host:port", for error texts.
    const std::string& server() const { return server_; }
    // Sends a command and reads its status line; true for +OK. reply holds the text after the
    // status word. -ERR gives false with the server's text in error; a transport failure, a
    // passed deadline or a reply that is no POP3 status also marks the connection broken.
    bool command(const std::string& line, std::string& reply, std::string& error);
    // Sends commands now (in one write) whose replies are read later, when command() is called
    // with the same line; the server works on them meanwhile. Replies come in order: a command()
    // that is not the next one sent ahead first reads and drops every reply still outstanding.
    bool sendAhead(const std::vector<std::string>& lines, bool multiline, std::string& error);
    bool isAhead(const std::string& line) const;
    // Reads a multi-line body up to the terminating ".", dot-unstuffed, lines ending in CR LF,
    // always to its end; keep says which lines go into data (Header: up to the empty line).
    // sizeHint (the expected size, 0 when unknown) only saves reallocations.
    bool readMultiline(ReplyBuffer& data, std::string& error, std::size_t sizeHint = 0,
                       Pop3Keep keep = Pop3Keep::All);
    bool broken() const { return broken_; }
    // The text of the failure that broke the connection.
    const std::string& brokenError() const { return brokenError_; }
    // Ends the connection for a reply that made no sense to the caller.
    bool markBroken(std::string& error, const std::string& why) { return fail(error, why); }
    // Every occurrence is masked in the server texts that go into errors (a server may echo it).
    void setSecret(std::string secret) { secret_ = std::move(secret); }
    void close();

  private:
    bool readStatus(std::string& reply, std::string& error);
    bool dropAhead(std::string& error);
    void beginReply();
    bool waitForReply(short events, std::string& error);
    bool nextLine(std::string_view& line, std::string& error);
    bool fill(std::string& error);
    bool sendAll(const std::string& data, std::string& error);
    bool startTls(const std::string& host, const std::string& caFile, std::string& error);
    bool handshake(std::string& error);
    bool upgradeWithStls(const ConnectOptions& options, const std::string& host,
                         std::string& error);
    bool fail(std::string& error, const std::string& why);

    struct Tls;
    int fd_ = -1;
    std::unique_ptr<Tls> tls_;
    std::string server_;
    std::string buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::string greeting_;
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

// The server's words for an error text: every occurrence of secret masked first, then cut to a
// few hundred bytes; control bytes become '?', 8-bit text becomes CP932.
std::string serverText(std::string_view reply, std::string_view secret = {});

// Closes every open POP3 connection (at the library's cleanup).
void closeAllPop3Sessions();

}  // namespace korv::mail
