#include "mail/pop3_connection.h"

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
#include <new>

#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace korv::mail {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool isDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// False on time-out.
bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = ::poll(&p, 1, std::max(timeoutMs, 0));
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
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

bool startsWithStatus(const std::string_view line, std::string_view status) {
    return line.substr(0, status.size()) == status &&
           (line.size() == status.size() || line[status.size()] == ' ' ||
            line[status.size()] == '\t');
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

Pop3Timeouts& pop3Timeouts() {
    static Pop3Timeouts t;
    return t;
}

Pop3Limits& pop3Limits() {
    static Pop3Limits l;
    return l;
}

ReplyBuffer::~ReplyBuffer() { release(); }

void ReplyBuffer::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void ReplyBuffer::reserve(std::size_t bytes) {
    if (bytes <= capacity_) return;
    char* grown = static_cast<char*>(std::realloc(data_, bytes));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = bytes;
}

void ReplyBuffer::grow(std::size_t n) {
    // Doubling costs no resident memory: what is not written yet is only address space.
    reserve(std::max({size_ + n, capacity_ * 2, std::size_t{4096}}));
}

bool parsePop3Address(const std::string& server, Pop3Address& out) {
    out = Pop3Address{};
    std::string rest = server;
    std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        std::string name = lower(rest.substr(0, scheme));
        if (name == "pop3s") {
            out.tls = true;
            out.port = 995;
        } else if (name != "pop3" && name != "pop") {
            return false;
        }
        rest.erase(0, scheme + 3);
    }
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        std::string after = rest.substr(close + 1);
        rest = rest.substr(1, close - 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            port = after.substr(1);
            if (!isDigits(port)) return false;
        }
    } else if (std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
        port = rest.substr(colon + 1);
        rest.erase(colon);
        if (!isDigits(port)) return false;
    }
    if (!port.empty()) {
        if (port.size() > 5) return false;
        out.port = std::atoi(port.c_str());
        out.portGiven = true;
        if (out.port < 1 || out.port > 65535) return false;
    }
    out.host = rest;
    return !out.host.empty() && out.host.find_first_of(" \t\r\n/\\@") == std::string::npos;
}

std::string serverText(std::string_view reply, std::string_view secret) {
    // Masked before the cut: a cut must not leave the first part of an echoed secret.
    std::string clean(reply);
    if (!secret.empty())
        for (std::size_t at = clean.find(secret); at != std::string::npos;
             at = clean.find(secret, at + 3))
            clean.replace(at, secret.size(), "***");
    clean.resize(std::min<std::size_t>(clean.size(), 300));
    for (char& c : clean) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return guessToCp932(clean);
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
    if (broken_ && !brokenError_.empty()) {
        error = brokenError_;
        return false;
    }
    error = "POP3サーバ "_cp + server_ + ": " + why;
    broken_ = true;
    brokenError_ = error;
    return false;
}

bool Pop3Connection::open(const Pop3Address& given, const ConnectOptions& options,
                          std::string& error) {
    Pop3Address address = given;
    if (options.security == Security::Implicit && !address.tls) {
        address.tls = true;
        if (!address.portGiven) address.port = 995;
    }
    server_ = address.host.find(':') == std::string::npos
                  ? address.host + ":" + std::to_string(address.port)
                  : "[" + address.host + "]:" + std::to_string(address.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc =
        getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (rc != 0)
        return fail(error, "サーバ名を解決できません ("_cp + utf8ToCp932(gai_strerror(rc)) + ")");
    std::string lastReason = "接続できません"_cp;
    for (addrinfo* ai = found; ai && fd_ < 0; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        int err = r == 0 ? 0 : errno;
        if (r != 0 && err == EINPROGRESS) {
            if (waitFor(fd, POLLOUT, pop3Timeouts().connectMs)) {
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
    if (fd_ < 0) return fail(error, lastReason);
    lastByteAt_ = std::chrono::steady_clock::now();

    if (address.tls && !startTls(address.host, options.caFile, error)) return false;
    beginReply();
    std::string_view line;
    if (!nextLine(line, error)) return false;
    if (!startsWithStatus(line, "+OK"))
        return fail(error, "POP3 の挨拶ではありません: "_cp + serverText(line));
    greeting_ = std::string(line);
    if (address.tls || options.security == Security::None) return true;
    return upgradeWithStls(options, address.host, error);
}

bool Pop3Connection::upgradeWithStls(const ConnectOptions& options, const std::string& host,
                                     std::string& error) {
    // CAPA lists STLS when the server can; a server without CAPA has no STLS either.
    std::string reply;
    bool offered = false;
    if (command("CAPA", reply, error)) {
        ReplyBuffer listing;
        if (!readMultiline(listing, error)) return false;
        std::string_view rest = listing.view();
        while (!rest.empty()) {
            std::size_t end = rest.find("\r\n");
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
            if (lower(std::string(line.substr(0, line.find(' ')))) == "stls") offered = true;
        }
    } else if (broken_) {
        return false;
    }
    if (!offered) {
        if (options.security != Security::Required) return true;
        return fail(error, "STLS に対応していません (パスワードは送っていません)"_cp);
    }
    if (!command("STLS", reply, error)) {
        if (broken_) return false;
        return fail(error, "STLS を拒否されました: "_cp + serverText(reply, secret_));
    }
    // Anything the server sent before the handshake would be read as if it came through TLS.
    if (pos_ != end_) return fail(error, "STLS の後に余分なデータがあります"_cp);
    return startTls(host, options.caFile, error);
}

bool Pop3Connection::startTls(const std::string& host, const std::string& caFile,
                              std::string& error) {
    tls_ = std::make_unique<Tls>();
    tls_->ctx = SSL_CTX_new(TLS_client_method());
    if (!tls_->ctx) return fail(error, "TLS を準備できません: "_cp + openSslReason());
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
            return fail(error, "証明書ファイル "_cp + fromNativePath(extra) + " を読めません: "_cp +
                                   openSslReason());
    }
    tls_->ssl = SSL_new(tls_->ctx);
    if (!tls_->ssl) return fail(error, "TLS を準備できません: "_cp + openSslReason());
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
    return handshake(error);
}

bool Pop3Connection::handshake(std::string& error) {
    // The whole handshake gets one idle time-out: it is a few kilobytes.
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        int r;
        {
            SigpipeGuard guard;
            r = SSL_connect(tls_->ssl);
        }
        if (r == 1) return true;
        int e = SSL_get_error(tls_->ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            long long left = pop3Timeouts().readMs - msSince(start);
            if (left > 0 &&
                waitFor(fd_, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, static_cast<int>(left)))
                continue;
            return fail(error, "TLS 接続がタイムアウトしました"_cp);
        }
        long verify = SSL_get_verify_result(tls_->ssl);
        std::string why = verify != X509_V_OK ? "証明書を確認できません: "_cp +
                                                    X509_verify_cert_error_string(verify)
                                              : "TLS 接続に失敗しました: "_cp + openSslReason();
        ERR_clear_error();
        return fail(error, why);
    }
}

bool Pop3Connection::sendAll(const std::string& data, std::string& error) {
    if (fd_ < 0 || broken_) return fail(error, "接続は切れています"_cp);
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
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
                return fail(error, "送信できません"_cp);
            if (e == SSL_ERROR_WANT_READ) until = POLLIN;
        } else {
            ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n >= 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return fail(error, "送信できません ("_cp + utf8ToCp932(std::strerror(errno)) + ")");
        }
        if (!waitFor(fd_, until, pop3Timeouts().readMs))
            return fail(error, "送信がタイムアウトしました"_cp);
    }
    return true;
}

void Pop3Connection::beginReply() {
    replyStart_ = std::chrono::steady_clock::now();
    replyOffset_ = received_ - (end_ - pos_);
}

// Waits no longer than the idle time-out, nor past the reply's deadline.
bool Pop3Connection::waitForReply(short events, std::string& error) {
    const Pop3Timeouts& t = pop3Timeouts();
    long long wait = t.readMs;
    if (t.minBytesPerSecond > 0) {
        long long allowed =
            t.readMs + static_cast<long long>((received_ - replyOffset_) * 1000 /
                                              static_cast<std::uint64_t>(t.minBytesPerSecond));
        long long left = allowed - msSince(replyStart_);
        if (left <= 0) return fail(error, "応答が遅すぎます"_cp);
        wait = std::min(wait, left);
    }
    if (waitFor(fd_, events, static_cast<int>(wait))) return true;
    // A server silent for about the idle time-out has stopped; one that still sends now and
    // then is too slow. (Right after a status line both limits come at nearly the same time.)
    bool silent = msSince(lastByteAt_) >= t.readMs - t.readMs / 10;
    return fail(error, silent ? "応答がタイムアウトしました"_cp : "応答が遅すぎます"_cp);
}

bool Pop3Connection::fill(std::string& error) {
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
        if (received_ - replyOffset_ > pop3Limits().maxMessageBytes)
            return fail(error, "応答が大きすぎます"_cp);
        return true;
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
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            return fail(error, "接続が切れました"_cp);
        if (!waitForReply(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, error)) return false;
    }
    for (;;) {
        // Mostly the data is there already (the next message was asked for ahead): wait only
        // when it is not.
        ssize_t n = ::recv(fd_, room, kReadChunk, MSG_DONTWAIT);
        if (n > 0) return received(static_cast<std::size_t>(n));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitForReply(POLLIN, error)) return false;
            continue;
        }
        return fail(error, "接続が切れました"_cp);
    }
}

bool Pop3Connection::nextLine(std::string_view& line, std::string& error) {
    if (fd_ < 0 || broken_) return fail(error, "接続は切れています"_cp);
    std::size_t scanned = 0;  // bytes after pos_ known to hold no line end
    for (;;) {
        const char* from = buffer_.data() + pos_;
        if (const void* found = std::memchr(from + scanned, '\n', end_ - pos_ - scanned)) {
            std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(found) - from);
            std::size_t length = lf > 0 && from[lf - 1] == '\r' ? lf - 1 : lf;
            if (length > kPop3MaxLineBytes) return fail(error, "応答の行が長すぎます"_cp);
            line = std::string_view(from, length);
            pos_ += lf + 1;
            return true;
        }
        scanned = end_ - pos_;
        if (scanned > kPop3MaxLineBytes + 1) return fail(error, "応答の行が長すぎます"_cp);
        if (!fill(error)) return false;
    }
}

bool Pop3Connection::command(const std::string& line, std::string& reply, std::string& error) {
    reply.clear();
    if (!ahead_.empty()) {
        if (ahead_.front().line == line) {
            ahead_.pop_front();
            return readStatus(reply, error);
        }
        if (!dropAhead(error)) return false;
    }
    if (!sendAll(line + "\r\n", error)) return false;
    return readStatus(reply, error);
}

bool Pop3Connection::sendAhead(const std::vector<std::string>& lines, bool multiline,
                               std::string& error) {
    std::string data;
    for (const auto& line : lines) data += line + "\r\n";
    if (broken_ || !sendAll(data, error)) return false;
    for (const auto& line : lines) ahead_.push_back({line, multiline});
    return true;
}

bool Pop3Connection::isAhead(const std::string& line) const {
    for (const auto& a : ahead_)
        if (a.line == line) return true;
    return false;
}

bool Pop3Connection::dropAhead(std::string& error) {
    std::string reply;
    ReplyBuffer nothing;
    while (!ahead_.empty()) {
        Ahead a = std::move(ahead_.front());
        ahead_.pop_front();
        bool ok = readStatus(reply, error);
        if (broken_) return false;
        if (ok && a.multiline && !readMultiline(nothing, error, 0, Pop3Keep::Nothing)) return false;
    }
    return true;
}

bool Pop3Connection::readStatus(std::string& reply, std::string& error) {
    beginReply();
    std::string_view status;
    if (!nextLine(status, error)) return false;
    if (startsWithStatus(status, "+OK")) {
        reply = std::string(status.substr(status.size() > 3 ? 4 : 3));
        return true;
    }
    if (startsWithStatus(status, "-ERR")) {
        reply = std::string(status.substr(status.size() > 4 ? 5 : 4));
        error = "POP3サーバ "_cp + server_ + ": " + serverText(status, secret_);
        return false;
    }
    return fail(error, "応答が正しくありません: "_cp + serverText(status, secret_));
}

bool Pop3Connection::readMultiline(ReplyBuffer& data, std::string& error, std::size_t sizeHint,
                                   Pop3Keep keep) {
    data.clear();
    // The hint comes from the server's listing: it saves reallocations but is not trusted with
    // more than this.
    constexpr std::size_t kMaxReserve = std::size_t{32} << 20;
    if (sizeHint > 0 && keep == Pop3Keep::All)
        data.reserve(std::min(sizeHint + sizeHint / 32 + 64, kMaxReserve));
    bool keeping = keep != Pop3Keep::Nothing;
    std::string_view line;
    try {
        for (;;) {
            if (!nextLine(line, error)) {
                data.clear();
                return false;
            }
            if (line == ".") return true;
            if (!keeping) continue;
            if (!line.empty() && line[0] == '.') line.remove_prefix(1);
            if (keep == Pop3Keep::Header && line.empty()) keeping = false;
            // Mostly the line ends in CR LF in the buffer already: both go in one step.
            if (line.data()[line.size()] == '\r') {
                data.append(line.data(), line.size() + 2);
            } else {
                data.append(line.data(), line.size());
                data.append("\r\n", 2);
            }
        }
    } catch (const std::bad_alloc&) {
        // The rest of the reply is still on its way: the connection cannot go on.
        data.release();
        return fail(error, "メモリが足りません"_cp);
    }
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
