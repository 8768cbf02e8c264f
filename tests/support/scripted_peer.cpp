#include "scripted_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string_view>

namespace korv::test {
namespace {

// An answer by command as the steps it stands for.
Transcript stepsOf(const std::string& answer) {
    for (auto [marker, kind] :
         {std::pair{"<drop>", Step::Kind::Drop}, {"<stall>", Step::Kind::Stall}})
        if (answer.ends_with(marker))
            return {raw(answer.substr(0, answer.size() - std::strlen(marker))), Step(kind)};
    if (answer.ends_with("<trickle>")) return {trickle(answer.substr(0, answer.size() - 9))};
    return {raw(answer)};
}

}  // namespace

Step::Step(const std::string& line)
    : kind(Kind::Server), text(line.size() < 3 ? "" : line.substr(3)) {
    if (line.starts_with("C: "))
        kind = Kind::Client;
    else if (line.starts_with("S: "))
        text += "\r\n";
    else
        throw std::invalid_argument("a transcript line starts with \"C: \" or \"S: \": " + line);
}

ScriptedPeer::ScriptedPeer(Transcript conversation, Answer otherwise)
    : steps_(std::move(conversation)), otherwise_(std::move(otherwise)) {
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
    for (std::size_t at = next_; at < steps_.size(); ++at)
        if (steps_[at].kind == Step::Kind::Client)
            ADD_FAILURE() << "the client never said \"" << steps_[at].text << "\"";
    close(listenFd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::vector<std::string> ScriptedPeer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

ScriptedPeer::After ScriptedPeer::perform(int fd, const Step& step) {
    std::string_view text = step.text;
    if (step.kind == Step::Kind::Trickle) {
        for (char c : text) {
            // The pause ends early when the peer goes.
            pollfd stop{stopPipe_[0], POLLIN, 0};
            if (poll(&stop, 1, trickleMs_) != 0 || send(fd, &c, 1, MSG_NOSIGNAL) != 1)
                return After::Drops;
            ++trickled_;
        }
        return After::Goes;
    }
    while (!text.empty()) {
        ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return step.kind == Step::Kind::Drop    ? After::Drops
           : step.kind == Step::Kind::Stall ? After::Stalls
                                            : After::Goes;
}

void ScriptedPeer::serve() {
    pollfd waitAccept[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(waitAccept, 2, -1) <= 0 || (waitAccept[1].revents & POLLIN)) return;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    // A client that stops reading must not hold the peer (and the test) forever.
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    bool stalled = false;
    // Plays the steps up to the next client line.
    auto play = [&](const Transcript& steps, std::size_t& at) {
        for (; at < steps.size() && steps[at].kind != Step::Kind::Client; ++at) {
            After after = perform(fd, steps[at]);
            if (after == After::Drops) return false;
            stalled = stalled || after == After::Stalls;
            if (stalled) return true;
        }
        return true;
    };
    std::string pending;
    bool open = play(steps_, next_);
    while (open) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t eol;
        while (open && (eol = pending.find("\r\n")) != std::string::npos) {
            std::string command = pending.substr(0, eol);
            pending.erase(0, eol + 2);
            {
                std::lock_guard lock(mutex_);
                commands_.push_back(command);
            }
            if (stalled) continue;
            bool scripted = next_ < steps_.size();
            if (scripted && steps_[next_].text != command) {
                ADD_FAILURE() << "the peer expected \"" << steps_[next_].text
                              << "\", the client said \"" << command << "\"";
                next_ = steps_.size();
                open = false;
                break;
            }
            if (scripted) ++next_;
            bool answered = next_ < steps_.size() && steps_[next_].kind != Step::Kind::Client;
            if (answered) {
                open = play(steps_, next_);
            } else if (otherwise_) {
                Transcript reply = stepsOf(otherwise_(command));
                std::size_t at = 0;
                open = play(reply, at);
            } else if (!scripted) {
                ADD_FAILURE() << "the client said \"" << command << "\" after the conversation";
                open = false;
            }
        }
    }
    close(fd);
}

}  // namespace korv::test
