#include "scripted_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string_view>

namespace korv::test {
namespace {

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::string greeting, Answer answer)
    : greeting_(std::move(greeting)), answer_(std::move(answer)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 1) != 0 || pipe(stopPipe_) != 0) {
        if (listenFd_ >= 0) close(listenFd_);
        throw std::runtime_error("scripted peer: cannot listen on 127.0.0.1");
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() {
    if (write(stopPipe_[1], "x", 1) != 1) { /* the thread also ends when the client goes */
    }
    thread_.join();
    close(listenFd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::vector<std::string> ScriptedPeer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void ScriptedPeer::serve() {
    pollfd waitAccept[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(waitAccept, 2, -1) <= 0 || (waitAccept[1].revents & POLLIN)) return;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    // A client that stops reading must not hold the peer (and the test) forever.
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    auto sendText = [fd](std::string_view s) {
        std::size_t done = 0;
        while (done < s.size()) {
            ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    };
    sendText(greeting_);
    std::string pending;
    bool stalled = false;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find("\r\n")) != std::string::npos) {
            std::string command = pending.substr(0, eol);
            pending.erase(0, eol + 2);
            {
                std::lock_guard lock(mutex_);
                commands_.push_back(command);
            }
            if (stalled) continue;
            std::string reply = answer_(command);
            if (endsWith(reply, "<drop>")) {
                sendText(std::string_view(reply).substr(0, reply.size() - 6));
                close(fd);
                return;
            }
            if (endsWith(reply, "<trickle>")) {
                std::string_view text = std::string_view(reply).substr(0, reply.size() - 9);
                for (char c : text) {
                    // The pause ends early when the peer goes.
                    pollfd stop{stopPipe_[0], POLLIN, 0};
                    if (poll(&stop, 1, trickleMs_) != 0 || send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
                        close(fd);
                        return;
                    }
                    ++trickled_;
                }
                continue;
            }
            if (endsWith(reply, "<stall>")) {
                sendText(std::string_view(reply).substr(0, reply.size() - 7));
                stalled = true;
                continue;
            }
            sendText(reply);
        }
    }
    close(fd);
}

}  // namespace korv::test
