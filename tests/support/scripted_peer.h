#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korv::test {

// A POP3 peer of our own on a free loopback port, for the faults a real server will not
// produce. It accepts one connection, sends the greeting (an empty one sends nothing), and
// answers each command line with what `answer` returns. An answer ending in "<drop>" sends the
// text before it and closes the connection; one ending in "<stall>" sends the text before it
// and then never answers again (the connection stays open until the peer is destroyed); one
// ending in "<trickle>" sends the text before it one byte at a time, a pause of trickleMs before
// each, and then serves on.
class ScriptedPeer {
  public:
    using Answer = std::function<std::string(const std::string& command)>;
    ScriptedPeer(std::string greeting, Answer answer);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Every command line received so far, also those that came after a stall.
    std::vector<std::string> commands() const;
    // The pause before each byte of a "<trickle>" answer (default 100 ms).
    void setTrickleMs(int ms) { trickleMs_ = ms; }
    // Bytes of "<trickle>" answers sent so far.
    std::size_t trickled() const { return trickled_; }

  private:
    void serve();
    int listenFd_ = -1;
    int port_ = 0;
    std::string greeting_;
    Answer answer_;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::atomic<int> trickleMs_{100};
    std::atomic<std::size_t> trickled_{0};
    std::thread thread_;
};

}  // namespace korv::test
