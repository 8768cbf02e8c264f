// The bytes of a POP3 connection: the socket, TLS, and reading lines with time-outs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "mail/pop3/pop3_connection.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace korv::mail {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

enum class Waited { Ready, TimedOut, Stopped };

// A stop is looked for at least this often: its signal may come just before poll() begins.
constexpr int kStopCheckMs = 500;

// A signal ends no wait early unless it asked the process to stop: the wait then ends as soon
// as the server has sent nothing for a moment. Otherwise it goes on only for the time it had left.
Waited waitFor(int fd, short events, int timeoutMs) {
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    pollfd p{fd, events, 0};
    for (;;) {
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
        int r = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, kStopCheckMs)));
        if (r > 0) return Waited::Ready;
        if (r < 0 && errno != EINTR) return Waited::TimedOut;
        if (stopRequested().load()) return Waited::Stopped;
        if (Steady::now() >= deadline) return Waited::TimedOut;
    }
}

const std::string& stoppedText() {
    static const std::string text = "停止の指示で中断しました"_cp;
    return text;
}

long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

const char* getenvOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string systemReason(int err) {
    std::string why;
    switch (err) {
        case ECONNREFUSED:
            why = "接続を拒否されました"_cp;
            break;
        case ETIMEDOUT:
            why = "接続がタイムアウトしました"_cp;
            break;
        case EHOSTUNREACH:
        case ENETUNREACH:
            why = "サーバに届きません"_cp;
            break;
        default:
            why = "接続できません"_cp;
    }
    return why + " (" + utf8ToCp932(std::strerror(err)) + ")";
}

std::string openSslReason() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "TLS handshake failed";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

// OpenSSL writes with write(), which raises SIGPIPE on a connection the server has closed; that
// signal would end the program. Held back while TLS writes, and dropped if it came.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeGuard() {
        if (!pendingBefore_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                timespec now{0, 0};
                sigtimedwait(&pipe_, nullptr, &now);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  private:
    sigset_t pipe_;
    sigset_t old_;
    bool pendingBefore_ = false;
};

}  // namespace

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

void Pop3Connection::connectSocket(const Pop3Address& address) {
    server_ = address.host.find(':') == std::string::npos
                  ? address.host + ":" + std::to_string(address.port)
                  : "[" + address.host + "]:" + std::to_string(address.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc =
        getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (rc != 0) fail("サーバ名を解決できません ("_cp + utf8ToCp932(gai_strerror(rc)) + ")");
    std::string lastReason = "接続できません"_cp;
    for (addrinfo* ai = found; ai && fd_ < 0; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        int err = r == 0 ? 0 : errno;
        if (r != 0 && err == EINPROGRESS) {
            Waited w = waitFor(fd, POLLOUT, timeouts_.connectMs);
            if (w == Waited::Stopped) {
                ::close(fd);
                freeaddrinfo(found);
                fail(stoppedText());
            }
            if (w == Waited::Ready) {
                socklen_t len = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            } else {
                err = ETIMEDOUT;
            }
        }
        if (err == 0) {
            // Stays non-blocking: every wait is a poll() with its own time limit.
            fd_ = fd;
        } else {
            lastReason = systemReason(err);
            ::close(fd);
        }
    }
    freeaddrinfo(found);
    if (fd_ < 0) fail(lastReason);
    lastByteAt_ = std::chrono::steady_clock::now();
}

void Pop3Connection::startTls(const std::string& host, const std::string& caFile) {
    tls_ = std::make_unique<Tls>();
    tls_->ctx = SSL_CTX_new(TLS_client_method());
    if (!tls_->ctx) fail("TLS を準備できません: "_cp + openSslReason(), MailError::Kind::Failed);
    SSL_CTX_set_verify(tls_->ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(tls_->ctx);
    // The settings' file (a CP932 path) and the environment's (a native one).
    const std::string fromSettings = caFile.empty() ? "" : nativePath(caFile).string();
    for (const std::string& extra :
         {fromSettings, std::string(getenvOrEmpty("KORVANTO_CA_FILE"))}) {
        if (extra.empty()) continue;
        struct stat st {};
        bool folder = ::stat(extra.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (SSL_CTX_load_verify_locations(tls_->ctx, folder ? nullptr : extra.c_str(),
                                          folder ? extra.c_str() : nullptr) != 1)
            fail("証明書ファイル "_cp + fromNativePath(extra) + " を読めません: "_cp +
                     openSslReason(),
                 MailError::Kind::Settings);
    }
    tls_->ssl = SSL_new(tls_->ctx);
    if (!tls_->ssl) fail("TLS を準備できません: "_cp + openSslReason(), MailError::Kind::Failed);
    SSL_set_fd(tls_->ssl, fd_);
    in6_addr ip6;
    in_addr ip4;
    if (inet_pton(AF_INET, host.c_str(), &ip4) == 1 ||
        inet_pton(AF_INET6, host.c_str(), &ip6) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_->ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(tls_->ssl, host.c_str());
        SSL_set1_host(tls_->ssl, host.c_str());
    }
    handshake();
}

void Pop3Connection::handshake() {
    // The whole handshake gets one idle time-out: it is a few kilobytes.
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        int r;
        {
            SigpipeGuard guard;
            r = SSL_connect(tls_->ssl);
        }
        if (r == 1) return;
        int e = SSL_get_error(tls_->ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            long long left = timeouts_.readMs - msSince(start);
            Waited w = left > 0 ? waitFor(fd_, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                                          static_cast<int>(left))
                                : Waited::TimedOut;
            if (w == Waited::Ready) continue;
            fail(w == Waited::Stopped ? stoppedText()
                                      : "TLS 接続がタイムアウトしました"_cp + passwordNotSent());
        }
        long verify = SSL_get_verify_result(tls_->ssl);
        // A connection cut during the handshake may come back; a certificate or a peer that
        // speaks no TLS will not.
        bool cut = verify == X509_V_OK &&
                   (e == SSL_ERROR_SYSCALL ||
                    ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
        std::string why = verify != X509_V_OK ? "証明書を確認できません: "_cp +
                                                    X509_verify_cert_error_string(verify)
                          : cut ? "TLS 接続の途中で切れました"_cp
                                : "TLS 接続に失敗しました: "_cp + openSslReason();
        ERR_clear_error();
        // Clear text is no way around a certificate that does not check out (it may be an
        // attacker's): the hint is the file of trusted certificates.
        const std::string hint =
            verify != X509_V_OK
                ? " (パスワードは送っていません。この証明書を信頼するには、発行者の証明書を設定の CaFile に指定します)"_cp
                : passwordNotSent();
        fail(why + hint, cut ? MailError::Kind::Broken : MailError::Kind::Insecure);
    }
}

void Pop3Connection::sendAll(const std::string& data) {
    if (fd_ < 0 || broken_) fail("接続は切れています"_cp);
    std::size_t done = 0;
    while (done < data.size()) {
        short until = POLLOUT;
        if (tls_) {
            int n;
            {
                SigpipeGuard guard;
                n = SSL_write(tls_->ssl, data.data() + done, static_cast<int>(data.size() - done));
            }
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            int e = SSL_get_error(tls_->ssl, n);
            ERR_clear_error();
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) fail("送信できません"_cp);
            if (e == SSL_ERROR_WANT_READ) until = POLLIN;
        } else {
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n >= 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fail("送信できません ("_cp + utf8ToCp932(std::strerror(errno)) + ")");
        }
        Waited w = waitFor(fd_, until, timeouts_.readMs);
        if (w == Waited::Stopped) fail(stoppedText());
        if (w == Waited::TimedOut) fail("送信がタイムアウトしました"_cp);
    }
}

void Pop3Connection::beginReply() {
    replyStart_ = std::chrono::steady_clock::now();
    replyOffset_ = received_ - (end_ - pos_);
}

// Waits no longer than the idle time-out, nor past the reply's deadline.
void Pop3Connection::waitForReply(short events) {
    const Pop3Timeouts& t = timeouts_;
    long long wait = t.readMs;
    if (t.minBytesPerSecond > 0) {
        long long allowed =
            t.readMs + static_cast<long long>((received_ - replyOffset_) * 1000 /
                                              static_cast<std::uint64_t>(t.minBytesPerSecond));
        long long left = allowed - msSince(replyStart_);
        if (left <= 0) fail("応答が遅すぎます"_cp);
        wait = std::min(wait, left);
    }
    Waited w = waitFor(fd_, events, static_cast<int>(wait));
    if (w == Waited::Ready) return;
    if (w == Waited::Stopped) fail(stoppedText());
    // A server silent for about the idle time-out has stopped; one that still sends now and
    // then is too slow. (Right after a status line both limits come at nearly the same time.)
    bool silent = msSince(lastByteAt_) >= t.readMs - t.readMs / 10;
    fail(silent ? "応答がタイムアウトしました"_cp : "応答が遅すぎます"_cp);
}

void Pop3Connection::fill() {
    // Received bytes are kept in buffer_[pos_, end_); the string itself only grows, so that
    // reading never clears or copies more than the few bytes of a line cut in half.
    if (pos_ == end_) {
        pos_ = end_ = 0;
    } else if (pos_ >= kReadChunk && pos_ >= end_ / 2) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    if (buffer_.size() - end_ < kReadChunk) buffer_.resize(end_ + kReadChunk);
    char* room = buffer_.data() + end_;
    auto received = [&](std::size_t n) {
        end_ += n;
        received_ += n;
        lastByteAt_ = std::chrono::steady_clock::now();
        if (received_ - replyOffset_ > limits_.maxMessageBytes) fail("応答が大きすぎます"_cp);
    };
    while (tls_) {
        int n;
        {
            SigpipeGuard guard;  // a read may answer the server (TLS 1.3 key updates)
            n = SSL_read(tls_->ssl, room, static_cast<int>(kReadChunk));
        }
        if (n > 0) return received(static_cast<std::size_t>(n));
        int e = SSL_get_error(tls_->ssl, n);
        ERR_clear_error();
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) fail("接続が切れました"_cp);
        waitForReply(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT);
    }
    for (;;) {
        // Mostly the data is there already (the next message was asked for ahead): wait only
        // when it is not.
        ssize_t n = ::recv(fd_, room, kReadChunk, MSG_DONTWAIT);
        if (n > 0) return received(static_cast<std::size_t>(n));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitForReply(POLLIN);
            continue;
        }
        fail("接続が切れました"_cp);
    }
}

std::string_view Pop3Connection::nextLine() {
    if (fd_ < 0 || broken_) fail("接続は切れています"_cp);
    std::size_t scanned = 0;  // bytes after pos_ known to hold no line end
    for (;;) {
        const char* from = buffer_.data() + pos_;
        if (const void* found = std::memchr(from + scanned, '\n', end_ - pos_ - scanned)) {
            std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(found) - from);
            std::size_t length = lf > 0 && from[lf - 1] == '\r' ? lf - 1 : lf;
            if (length > kPop3MaxLineBytes) fail("応答の行が長すぎます"_cp);
            pos_ += lf + 1;
            return std::string_view(from, length);
        }
        scanned = end_ - pos_;
        if (scanned > kPop3MaxLineBytes + 1) fail("応答の行が長すぎます"_cp);
        fill();
    }
}

void Pop3Connection::interrupt() noexcept {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Pop3Connection::close() {
    ahead_.clear();
    if (tls_) {
        if (!broken_ && fd_ >= 0) {
            SigpipeGuard guard;
            SSL_shutdown(tls_->ssl);
        }
        ERR_clear_error();
        tls_.reset();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.clear();
    pos_ = end_ = 0;
}

}  // namespace korv::mail
