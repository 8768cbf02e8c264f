#pragma once
// One POP3 connection: a socket (optionally TLS) with a time-out on every wait, line reading
// with a length limit, single-line and multi-line responses.
#include <memory>
#include <string>

namespace korv::mail {

struct Pop3Address {
    std::string host;
    int port = 110;
    bool tls = false;
};

// "host", "host:port", "pop3://host[:port]", "pop3s://host[:port]"; false when malformed.
bool parsePop3Address(const std::string& server, Pop3Address& out);

struct Pop3Timeouts {
    int connectMs = 30000;
    int readMs = 60000;
};
Pop3Timeouts& pop3Timeouts();

class Pop3Connection {
  public:
    Pop3Connection();
    ~Pop3Connection();
    Pop3Connection(const Pop3Connection&) = delete;
    Pop3Connection& operator=(const Pop3Connection&) = delete;

    // Connects and reads the greeting; on failure returns false with error set.
    bool open(const Pop3Address& address, std::string& error);
    const std::string& greeting() const { return greeting_; }
    // Sends a command and reads its status line; true for +OK. reply holds the text after the
    // status word. A transport failure sets error and marks the connection broken.
    bool command(const std::string& line, std::string& reply, std::string& error);
    // Reads a multi-line body up to the terminating ".", dot-unstuffed, lines ending in CR LF.
    bool readMultiline(std::string& data, std::string& error);
    bool broken() const { return broken_; }
    void close();

  private:
    bool readLine(std::string& line, std::string& error);
    bool fill(std::string& error);
    bool sendAll(const std::string& data, std::string& error);
    bool fail(std::string& error, const std::string& why);

    struct Tls;
    int fd_ = -1;
    std::unique_ptr<Tls> tls_;
    std::string server_;
    std::string buffer_;
    std::size_t pos_ = 0;
    std::string greeting_;
    bool broken_ = false;
};

}  // namespace korv::mail
