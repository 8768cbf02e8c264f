#include "mail/pop3_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"

namespace korv::mail {
namespace {

// Longer than any line a sane server sends; a longer one ends the connection instead of
// growing memory without bound.
constexpr std::size_t kMaxLineBytes = 1 << 20;

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

}  // namespace

Pop3Timeouts& pop3Timeouts() {
    static Pop3Timeouts t;
    return t;
}

bool parsePop3Address(const std::string& server, Pop3Address& out) {
    std::string rest = server;
    out = Pop3Address{};
    std::string scheme =
        lower(rest.substr(0, rest.find("://") == std::string::npos ? 0 : rest.find("://")));
    if (rest.find("://") != std::string::npos) {
        if (scheme == "pop3s") {
            out.tls = true;
            out.port = 995;
        } else if (scheme != "pop3" && scheme != "pop") {
            return false;
        }
        rest = rest.substr(rest.find("://") + 3);
    }
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out.port = std::atoi(port.c_str());
        if (out.port < 1 || out.port > 65535) return false;
        rest = rest.substr(0, colon);
    }
    out.host = rest;
    return !out.host.empty() && out.host.find_first_of(" \t/") == std::string::npos;
}

struct Pop3Connection::Tls {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    ~Tls() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
    }
};

Pop3Connection::Pop3Connection() = default;
Pop3Connection::~Pop3Connection() { close(); }

bool Pop3Connection::fail(std::string& error, const std::string& why) {
    error = server_ + ": " + why;
    broken_ = true;
    return false;
}

bool Pop3Connection::open(const Pop3Address& address, std::string& error) {
    server_ = address.host + ":" + std::to_string(address.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc =
        getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (rc != 0) return fail(error, "サーバー名を解決できません ("_cp + gai_strerror(rc) + ")");
    std::string lastError = "接続できません"_cp;
    for (addrinfo* ai = found; ai && fd_ < 0; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            if (waitFor(fd, POLLOUT, pop3Timeouts().connectMs)) {
                int soErr = 0;
                socklen_t len = sizeof soErr;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
                r = soErr == 0 ? 0 : -1;
                errno = soErr;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (r == 0) {
            fcntl(fd, F_SETFL, flags);
            fd_ = fd;
        } else {
            lastError = "接続できません: "_cp + utf8ToCp932(std::strerror(errno));
            ::close(fd);
        }
    }
    freeaddrinfo(found);
    if (fd_ < 0) return fail(error, lastError);

    if (address.tls) {
        tls_ = std::make_unique<Tls>();
        tls_->ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(tls_->ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(tls_->ctx);
        // Tests and private servers may name their own certificate authority.
        if (const char* ca = std::getenv("KORVANTO_CA_FILE"); ca && *ca)
            SSL_CTX_load_verify_locations(tls_->ctx, ca, nullptr);
        tls_->ssl = SSL_new(tls_->ctx);
        SSL_set_fd(tls_->ssl, fd_);
        in6_addr ip6;
        in_addr ip4;
        if (inet_pton(AF_INET, address.host.c_str(), &ip4) == 1 ||
            inet_pton(AF_INET6, address.host.c_str(), &ip6) == 1) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_->ssl), address.host.c_str());
        } else {
            SSL_set_tlsext_host_name(tls_->ssl, address.host.c_str());
            SSL_set1_host(tls_->ssl, address.host.c_str());
        }
        timeval tv{pop3Timeouts().readMs / 1000, (pop3Timeouts().readMs % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (SSL_connect(tls_->ssl) != 1) {
            long verify = SSL_get_verify_result(tls_->ssl);
            std::string why = verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                                                  : "TLS handshake failed";
            return fail(error, "TLS 接続に失敗しました: "_cp + why);
        }
    }
    std::string line;
    if (!readLine(line, error)) return false;
    if (line.rfind("+OK", 0) != 0)
        return fail(error, "POP3 サーバーの応答がありません: "_cp + line);
    greeting_ = line;
    return true;
}

bool Pop3Connection::sendAll(const std::string& data, std::string& error) {
    if (fd_ < 0 || broken_) return fail(error, "接続は切れています"_cp);
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n;
        if (tls_) {
            n = SSL_write(tls_->ssl, data.data() + done, static_cast<int>(data.size() - done));
            if (n <= 0) return fail(error, "送信に失敗しました"_cp);
        } else {
            n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail(error, "送信に失敗しました: "_cp + utf8ToCp932(std::strerror(errno)));
            }
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Pop3Connection::fill(std::string& error) {
    if (pos_ > 0 && pos_ >= buffer_.size() / 2) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    char chunk[65536];
    for (;;) {
        bool pending = tls_ && SSL_pending(tls_->ssl) > 0;
        if (!pending && !waitFor(fd_, POLLIN, pop3Timeouts().readMs))
            return fail(error, "サーバーの応答がタイムアウトしました"_cp);
        ssize_t n;
        if (tls_) {
            n = SSL_read(tls_->ssl, chunk, sizeof chunk);
            if (n <= 0) {
                int e = SSL_get_error(tls_->ssl, static_cast<int>(n));
                if (e == SSL_ERROR_WANT_READ) continue;
                return fail(error, "接続が切れました"_cp);
            }
        } else {
            n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return fail(error, "接続が切れました"_cp);
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

bool Pop3Connection::readLine(std::string& line, std::string& error) {
    if (fd_ < 0 || broken_) return fail(error, "接続は切れています"_cp);
    std::size_t searchFrom = pos_;
    for (;;) {
        std::size_t lf = buffer_.find('\n', searchFrom);
        if (lf != std::string::npos) {
            std::size_t end = lf > pos_ && buffer_[lf - 1] == '\r' ? lf - 1 : lf;
            if (end - pos_ > kMaxLineBytes) return fail(error, "応答の行が長すぎます"_cp);
            line.assign(buffer_, pos_, end - pos_);
            pos_ = lf + 1;
            return true;
        }
        if (buffer_.size() - pos_ > kMaxLineBytes) return fail(error, "応答の行が長すぎます"_cp);
        searchFrom = buffer_.size();
        std::size_t before = pos_;
        if (!fill(error)) return false;
        searchFrom -= before - pos_;  // fill may have moved the unread part to the front
    }
}

bool Pop3Connection::command(const std::string& line, std::string& reply, std::string& error) {
    if (!sendAll(line + "\r\n", error)) return false;
    std::string status;
    if (!readLine(status, error)) return false;
    if (status.rfind("+OK", 0) == 0) {
        reply = status.size() > 4 ? status.substr(4) : std::string();
        return true;
    }
    if (status.rfind("-ERR", 0) == 0) {
        reply = status.size() > 5 ? status.substr(5) : std::string();
        error = server_ + ": " + status;
        return false;
    }
    return fail(error, "POP3 サーバーの応答が不正です: "_cp + status.substr(0, 200));
}

bool Pop3Connection::readMultiline(std::string& data, std::string& error) {
    data.clear();
    std::string line;
    for (;;) {
        if (!readLine(line, error)) return false;
        if (line == ".") return true;
        if (!line.empty() && line[0] == '.') line.erase(0, 1);
        data += line;
        data += "\r\n";
    }
}

void Pop3Connection::close() {
    if (tls_) {
        if (!broken_) SSL_shutdown(tls_->ssl);
        tls_.reset();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace korv::mail
