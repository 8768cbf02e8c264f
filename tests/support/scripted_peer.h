#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korv::test {

// One line of a conversation with a POP3 client: "C: USER u" is what the client must say next,
// "S: +OK" a line the peer sends (CR LF added); or one of the actions below.
struct Step {
    enum class Kind { Client, Server, Raw, Trickle, Drop, Stall };
    Kind kind;
    std::string text;
    Step(Kind kind, std::string text = {}) : kind(kind), text(std::move(text)) {}
    Step(const char* line) : Step(std::string(line)) {}
    Step(const std::string& line);
};
using Transcript = std::vector<Step>;

inline Transcript operator+(Transcript a, const Transcript& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// These bytes as they are, no CR LF added.
inline Step raw(std::string bytes) { return {Step::Kind::Raw, std::move(bytes)}; }
// These bytes one at a time, a pause of trickleMs before each.
inline Step trickle(std::string bytes) { return {Step::Kind::Trickle, std::move(bytes)}; }
// Closes the connection.
inline const Step drop{Step::Kind::Drop};
// Never answers again; the connection stays open until the peer is destroyed.
inline const Step stall{Step::Kind::Stall};

// A POP3 peer of our own on a free loopback port, for the faults a real server will not
// produce. It accepts one connection and plays a transcript: the steps up to the first "C:" line
// are the greeting. A client line other than the next "C:" line fails the test and ends the
// connection; so does a "C:" line the client never says. A client line that no "S:" step or
// action follows, and any line after the end, is answered by `otherwise` when there is one.
//
// Answering by command only: the greeting, then each command line answered with what `answer`
// returns. An answer ending in "<drop>", "<stall>" or "<trickle>" sends the text before it and
// then does the same as that action.
class ScriptedPeer {
  public:
    using Answer = std::function<std::string(const std::string& command)>;
    explicit ScriptedPeer(Transcript conversation, Answer otherwise = {});
    ScriptedPeer(const std::string& greeting, Answer answer)
        : ScriptedPeer(Transcript{raw(greeting)}, std::move(answer)) {}
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Every command line received so far, also those that came after a stall.
    std::vector<std::string> commands() const;
    // The pause before each trickled byte (default 100 ms).
    void setTrickleMs(int ms) { trickleMs_ = ms; }
    // Bytes trickled so far.
    std::size_t trickled() const { return trickled_; }

  private:
    enum class After { Goes, Stalls, Drops };
    void serve();
    After perform(int fd, const Step& step);
    int listenFd_ = -1;
    int port_ = 0;
    Transcript steps_;
    std::size_t next_ = 0;  // the step to play next
    Answer otherwise_;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::atomic<int> trickleMs_{100};
    std::atomic<std::size_t> trickled_{0};
    std::thread thread_;
};

}  // namespace korv::test
