#include "raw_pop3.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace korv::bench {

RawPop3::RawPop3(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("raw POP3: cannot connect to port " + std::to_string(port));
    if (readLine().rfind("+OK", 0) != 0) throw std::runtime_error("raw POP3: no greeting");
}

RawPop3::~RawPop3() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawPop3::fill() {
    if (pos_ > 0) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    char chunk[1 << 16];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::string RawPop3::readLine() {
    for (;;) {
        std::size_t end = buffer_.find("\r\n", pos_);
        if (end != std::string::npos) {
            std::string line = buffer_.substr(pos_, end - pos_);
            pos_ = end + 2;
            return line;
        }
        if (!fill()) throw std::runtime_error("raw POP3: connection closed");
    }
}

void RawPop3::send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("raw POP3: send failed");
        done += static_cast<std::size_t>(n);
    }
}

void RawPop3::login(const std::string& user, const std::string& password) {
    send("USER " + user + "\r\n");
    if (readLine().rfind("+OK", 0) != 0) throw std::runtime_error("raw POP3: USER refused");
    send("PASS " + password + "\r\n");
    if (readLine().rfind("+OK", 0) != 0) throw std::runtime_error("raw POP3: PASS refused");
}

std::size_t RawPop3::retrieveAllPipelined(int count, const std::string& saveFolder) {
    std::string commands;
    for (int i = 1; i <= count; ++i) commands += "RETR " + std::to_string(i) + "\r\n";
    // Sent from a second thread, so a server that answers before reading everything cannot
    // deadlock against us.
    std::thread sender([&] { send(commands); });
    std::size_t bytes = 0;
    for (int i = 1; i <= count; ++i) {
        if (readLine().rfind("+OK", 0) != 0) {
            sender.join();
            throw std::runtime_error("raw POP3: RETR refused");
        }
        std::string message;
        for (std::string line = readLine(); line != "."; line = readLine()) {
            bytes += line.size() + 2;
            if (!saveFolder.empty()) message += line + "\r\n";
        }
        if (!saveFolder.empty()) {
            std::ofstream out(saveFolder + std::to_string(i) + ".eml", std::ios::binary);
            out.write(message.data(), static_cast<std::streamsize>(message.size()));
        }
    }
    sender.join();
    return bytes;
}

void RawPop3::quit() {
    send("QUIT\r\n");
    readLine();
}

}  // namespace korv::bench
