#pragma once
// Mail texts for tests, written as mail programs write them, and a port nobody listens on.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace korv::test {

inline std::string base64(const std::string& bytes) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16;
        if (i + 1 < bytes.size()) v |= (unsigned char)bytes[i + 1] << 8;
        if (i + 2 < bytes.size()) v |= (unsigned char)bytes[i + 2];
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[v & 63] : '=';
    }
    return out;
}

// Lines of at most 76 characters, each ending with CR LF.
inline std::string base64Lines(const std::string& bytes) {
    std::string flat = base64(bytes), out;
    for (std::size_t i = 0; i < flat.size(); i += 76) out += flat.substr(i, 76) + "\r\n";
    return out;
}

// Files that a gallery's publish copy walks as a JPEG (one scan, no metadata) or a PNG (one
// private chunk) and hands on unchanged; the payload tells them apart.
inline std::string jpegShaped(const std::string& payload) {
    return std::string("\xFF\xD8\xFF\xDA\x00\x02", 6) + payload + "\xFF\xD9";
}
inline std::string pngShaped(const std::string& payload) {
    const auto be32 = [](std::size_t n) {
        return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                           static_cast<char>(n >> 8), static_cast<char>(n)};
    };
    return std::string("\x89PNG\r\n\x1a\n", 8) + be32(payload.size()) + "kvTs" + payload + be32(0) +
           be32(0) + "IEND" + be32(0xAE426082);
}

// A multipart message with a plain ASCII text part and base64 attachments.
inline std::string messageWithAttachments(
    const std::string& subject, const std::string& body,
    const std::vector<std::pair<std::string, std::string>>& files = {}) {
    std::string m = "From: sender@example.jp\r\nTo: korv@example.jp\r\nSubject: " + subject +
                    "\r\nDate: Mon, 7 Dec 2026 09:00:00 +0900\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"b0\"\r\n\r\n"
                    "--b0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" +
                    body + "\r\n";
    for (const auto& [name, bytes] : files) {
        std::string type = name.ends_with(".png")   ? "image/png"
                           : name.ends_with(".jpg") ? "image/jpeg"
                                                    : "application/octet-stream";
        m += "--b0\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: base64\r\n" +
             "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n" +
             base64Lines(bytes);
    }
    return m + "--b0--\r\n";
}

// A loopback port that nobody listens on: connections to it are refused at once.
inline int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace korv::test
