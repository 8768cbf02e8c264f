#pragma once
// The yardstick for the poll benchmark: a bare POP3 client that logs in and fetches a whole
// mailbox with pipelined RETRs, doing nothing with the bytes.
#include <cstddef>
#include <string>

namespace korv::bench {

class RawPop3 {
  public:
    explicit RawPop3(int port);  // connects and reads the greeting; throws on failure
    ~RawPop3();
    RawPop3(const RawPop3&) = delete;
    RawPop3& operator=(const RawPop3&) = delete;

    void login(const std::string& user, const std::string& password);
    // RETR 1..count, all sent before any reply is read. Returns the bytes received. With a
    // folder, each message is also written there as a file of its own (N.eml).
    std::size_t retrieveAllPipelined(int count, const std::string& saveFolder = "");
    void quit();

  private:
    std::string readLine();
    void send(const std::string& text);
    bool fill();

    int fd_ = -1;
    std::string buffer_;
    std::size_t pos_ = 0;
};

}  // namespace korv::bench
