#pragma once
#include <functional>
#include <string>
#include <thread>

namespace korv::test {

// A POP3 peer of our own on a free loopback port, for the faults a real server will not
// produce. It accepts one connection, sends the greeting, and answers each command line with
// what `answer` returns; an answer of "<drop>" closes the connection, "<stall>" stops answering.
class ScriptedPeer {
  public:
    using Answer = std::function<std::string(const std::string& command)>;
    ScriptedPeer(std::string greeting, Answer answer);
    ~ScriptedPeer();
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    void serve();
    int listenFd_ = -1;
    int port_ = 0;
    std::string greeting_;
    Answer answer_;
    std::thread thread_;
    int stopPipe_[2] = {-1, -1};
};

}  // namespace korv::test
