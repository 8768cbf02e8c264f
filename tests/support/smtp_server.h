#pragma once
// A real SMTP server (aiosmtpd) on a free loopback port, for the duration of one test.
#include <sys/types.h>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace korv::test {

// The path of a file in tests/support.
std::string supportScript(const std::string& name);

// A Python server script of tests/support: it prints its port once it listens and ends when its
// standard input closes (when this object goes).
class ScriptServer {
  public:
    explicit ScriptServer(const std::vector<std::string>& arguments);  // script, then its own
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int port_ = 0;
};

// Recipients that begin with "reject" are refused with 550.
class SmtpServer {
  public:
    struct Options {
        bool starttls = false;     // offer STARTTLS (a certificate of its own: caFile())
        bool implicitTls = false;  // TLS from the first byte (smtps)
        std::string login;         // "user:password": AUTH offered over TLS, this login taken
        std::string
            oauth{};  // an introspection URL: XOAUTH2 over TLS, a token it calls active taken
    };
    SmtpServer();  // starts on a free loopback port; throws on failure
    explicit SmtpServer(Options options);
    std::string caFile() const { return store_.path() + "cert.pem"; }
    // Every login attempt in order: "ok USER" or "refused USER".
    std::vector<std::string> logins() const;
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    std::string address() const;  // "127.0.0.1:PORT"
    struct Received {
        std::string mailFrom;
        std::vector<std::string> rcptTo;
        std::string data;
        // What Python's email package read in the data, UTF-8, in the order it came; keys as
        // smtp_sink.py lists them ("subject", "to", "attachment-name", "defect", ...).
        std::vector<std::pair<std::string, std::string>> parsed;
        bool tls = false;  // the message came over TLS
        std::string user;  // who had logged in; "" without a login
        std::string ehlo;  // the name the client greeted with
        std::vector<std::string> parsedAll(const std::string& key) const;
        std::string parsedOne(const std::string& key) const;  // the first, or "" when none
    };
    std::vector<Received> messages() const;  // everything received so far, in order

  private:
    TempDir store_;
    ScriptServer server_;
};

}  // namespace korv::test
