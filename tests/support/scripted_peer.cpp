#include "scripted_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace korv::test {

ScriptedPeer::ScriptedPeer(std::string greeting, Answer answer)
    : greeting_(std::move(greeting)), answer_(std::move(answer)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 1) != 0 || pipe(stopPipe_) != 0)
        throw std::runtime_error("scripted peer: cannot listen");
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

void ScriptedPeer::serve() {
    pollfd waitAccept[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(waitAccept, 2, -1) <= 0 || (waitAccept[1].revents & POLLIN)) return;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    auto sendText = [fd](const std::string& s) {
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
        while (!stalled && (eol = pending.find("\r\n")) != std::string::npos) {
            std::string command = pending.substr(0, eol);
            pending.erase(0, eol + 2);
            std::string reply = answer_(command);
            if (reply == "<drop>") {
                close(fd);
                return;
            }
            if (reply == "<stall>") {
                stalled = true;
                break;
            }
            sendText(reply);
        }
    }
    close(fd);
}

}  // namespace korv::test
