#pragma once
#include <string>

namespace korv::test {

// A real Dovecot POP3 server on free loopback ports, with one user and a maildir of its own.
class DovecotServer {
  public:
    DovecotServer();  // throws std::runtime_error when the server does not start
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    int port() const { return port_; }
    int pop3sPort() const { return pop3sPort_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // $KORV_POP3_USER / $KORV_POP3_PASSWORD, as the script reads them (korv / secret).
    std::string user() const { return user_; }
    std::string password() const { return password_; }
    std::string caFile() const { return dir_ + "ca.pem"; }

    // Appended after every earlier message, so server order is the order of the calls.
    void addMessage(const std::string& rawMessage);
    void clearMessages();
    int messageCount() const;

  private:
    std::string dir_;
    std::string user_;
    std::string password_;
    int port_ = 0;
    int pop3sPort_ = 0;
    int added_ = 0;
};

}  // namespace korv::test
