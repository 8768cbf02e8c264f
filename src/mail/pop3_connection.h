#pragma once
// One POP3 connection: a socket (optionally TLS) with a time-out on every wait, line reading
// with a length limit, single-line and multi-line responses.
//
// pop3s checks the server's certificate against the system's certificate authorities
// (SSL_CERT_FILE / SSL_CERT_DIR are honoured as usual); KORVANTO_CA_FILE names one more CA file
// to trust, for private servers and tests.
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korv::mail {

struct Pop3Address {
    std::string host;
    int port = 110;
    bool tls = false;
};

// "host", "host:port", "pop3://host[:port]", "pop3s://host[:port]" (an IPv6 host in brackets);
// false when malformed.
bool parsePop3Address(const std::string& server, Pop3Address& out);

struct Pop3Timeouts {
    int connectMs = 30000;
    int readMs = 60000;  // every wait for the server, also for each send
};
// Process-wide; tests shorten them.
Pop3Timeouts& pop3Timeouts();

// Longer than any line a sane server sends (mail lines are at most 998 bytes, broken mailers
// send whole attachments as one line); a longer one ends the connection.
inline constexpr std::size_t kPop3MaxLineBytes = std::size_t{8} << 20;

class Pop3Connection {
  public:
    Pop3Connection();
    ~Pop3Connection();
    Pop3Connection(const Pop3Connection&) = delete;
    Pop3Connection& operator=(const Pop3Connection&) = delete;

    // Connects and reads the greeting; on failure returns false with error set.
    bool open(const Pop3Address& address, std::string& error);
    const std::string& greeting() const { return greeting_; }
    // "host:port", for error texts.
    const std::string& server() const { return server_; }
    // Sends a command and reads its status line; true for +OK. reply holds the text after the
    // status word. -ERR gives false with the server's text in error; a transport failure or a
    // reply that is no POP3 status also marks the connection broken.
    bool command(const std::string& line, std::string& reply, std::string& error);
    // Sends commands now (in one write) whose replies are read later, when command() is called
    // with the same line; the server works on them meanwhile. Replies come in order: a command()
    // that is not the next one sent ahead first reads and drops every reply still outstanding.
    bool sendAhead(const std::vector<std::string>& lines, bool multiline, std::string& error);
    bool isAhead(const std::string& line) const;
    // Reads a multi-line body up to the terminating ".", dot-unstuffed, lines ending in CR LF.
    // sizeHint (the expected size, 0 when unknown) only saves reallocations.
    bool readMultiline(std::string& data, std::string& error, std::size_t sizeHint = 0);
    bool broken() const { return broken_; }
    void close();

  private:
    bool readStatus(std::string& reply, std::string& error);
    bool dropAhead(std::string& error);
    bool nextLine(std::string_view& line, std::string& error);
    bool fill(std::string& error);
    bool sendAll(const std::string& data, std::string& error);
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
};

// The server's words for an error text: control bytes become '?', 8-bit text becomes CP932,
// at most a few hundred bytes.
std::string serverText(std::string_view reply);

// Closes every open POP3 connection (at the library's cleanup).
void closeAllPop3Sessions();

}  // namespace korv::mail
