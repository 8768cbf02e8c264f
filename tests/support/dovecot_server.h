#pragma once
#include <string>

namespace korv::test {

// A real Dovecot POP3 server on free loopback ports, with one user and a maildir of its own.
class DovecotServer {
  public:
    struct Options {
        bool tls = true;            // STLS on the plain port, and pop3s
        bool plaintextAuth = true;  // false: logins only over TLS (the server is then 127.0.0.2)
        // An introspection URL: OAuth2 logins (oauth2Mechanisms) whose tokens it calls active.
        std::string oauth2{};
        std::string oauth2Mechanisms = "xoauth2 oauthbearer";
    };
    DovecotServer();  // throws std::runtime_error when the server does not start
    explicit DovecotServer(Options options);
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    int port() const { return port_; }
    int pop3sPort() const { return pop3sPort_; }
    std::string address() const { return host_ + ":" + std::to_string(port_); }
    const std::string& host() const { return host_; }
    // What the server logged so far (logins, refusals).
    std::string log() const;
    // $KORV_POP3_USER / $KORV_POP3_PASSWORD, as the script reads them (korv / secret).
    std::string user() const { return user_; }
    std::string password() const { return password_; }
    std::string caFile() const { return dir_ + "ca.pem"; }
    // A settings file that reaches this server; `more` ("Key=value\r\n" lines) at its end.
    std::string settingsText(const std::string& more = "") const {
        return "[KORVANTO2]\r\nPop3Name=" + address() + "\r\nUserID=" + user_ +
               "\r\nPassword=" + password_ + "\r\nCaFile=" + caFile() + "\r\n" + more;
    }

    // Appended after every earlier message, so server order is the order of the calls.
    void addMessage(const std::string& rawMessage);
    void clearMessages();
    int messageCount() const;

  private:
    std::string dir_;
    std::string user_;
    std::string password_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    int pop3sPort_ = 0;
    int added_ = 0;
};

}  // namespace korv::test
