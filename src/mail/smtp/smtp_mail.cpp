#include "mail/smtp/smtp_mail.h"

// Submission of outgoing mail through libcurl.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>

#include "mail/mime/mime_message.h"
#include "mail/smtp/smtp_parts.h"
#include "platform/charsets.h"
#include "platform/codepage.h"
#include "platform/curl_library.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kReplyTimeoutSeconds = 60;
constexpr long kStallSeconds = 60;  // transfer below 1 byte/s for this long ends it

struct Upload {
    const std::string* data;
    std::size_t pos = 0;
};

size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
    auto* up = static_cast<Upload*>(user);
    std::size_t n = std::min(size * count, up->data->size() - up->pos);
    std::memcpy(buffer, up->data->data() + up->pos, n);
    up->pos += n;
    return n;
}

// The server's replies, for the error text.
int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) return 0;
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // The first refusal (4xx or 5xx) is the one that explains the failure, not the later QUIT.
    auto* reply = static_cast<std::string*>(user);
    bool haveRefusal = !reply->empty() && ((*reply)[0] == '4' || (*reply)[0] == '5');
    if (!line.empty() && !haveRefusal) *reply = line;
    return 0;
}

struct CurlCleanup {
    void operator()(CURL* c) const { curlLibrary().easyCleanup(c); }
};
struct SlistCleanup {
    void operator()(curl_slist* l) const { curlLibrary().slistFreeAll(l); }
};

std::string smtpUrl(const std::string& server, bool implicitTls) {
    if (startsWithIgnoringCase(server, "smtps://")) return server;
    std::string hostPort = server;
    if (startsWithIgnoringCase(server, "smtp://")) {
        if (!implicitTls) return server;
        hostPort = server.substr(7);
    }
    while (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
    bool hasPort = false;
    if (!hostPort.empty() && hostPort.front() == '[')
        hasPort = hostPort.find("]:") != std::string::npos;
    else
        hasPort = hostPort.find(':') != std::string::npos;
    if (implicitTls) return "smtps://" + hostPort + (hasPort ? "" : ":465");
    return "smtp://" + hostPort + (hasPort ? "" : ":25");
}

// A name fit for EHLO: letters, digits and hyphens in two labels or more, not a localhost alias.
bool qualifiedName(const std::string& name) {
    if (name.size() > 253 || name.find('.') == std::string::npos ||
        startsWithIgnoringCase(name, "localhost"))
        return false;
    std::size_t label = 0;
    for (char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
            ++label;
        } else {
            return false;
        }
    }
    return label > 0;
}

// The host's fully qualified name, "" when it has none; looked up once per process.
const std::string& hostQualifiedName() {
    static const std::string name = [] {
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) != 0) return std::string();
        std::string found = host;
        if (!qualifiedName(found)) {
            addrinfo hints{};
            hints.ai_flags = AI_CANONNAME;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* list = nullptr;
            if (getaddrinfo(host, nullptr, &hints, &list) == 0) {
                if (list && list->ai_canonname) found = list->ai_canonname;
                freeaddrinfo(list);
            }
        }
        return qualifiedName(found) ? found : std::string();
    }();
    return name;
}

// The address literal (RFC 5321) of the address this host uses toward host:port, "" when it
// cannot be told; ipResolve gets the family that libcurl must then connect with. Connecting a
// datagram socket sends nothing: it only picks the route.
std::string ownAddressLiteral(const std::string& host, const std::string& port, long& ipResolve) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || !list) return {};
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, freeaddrinfo);
    int fd = socket(list->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_storage own{};
    socklen_t len = sizeof own;
    bool known = connect(fd, list->ai_addr, list->ai_addrlen) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len) == 0;
    ::close(fd);
    if (!known) return {};
    char text[INET6_ADDRSTRLEN] = "";
    if (own.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&own)->sin_addr, text, sizeof text);
        ipResolve = CURL_IPRESOLVE_V4;
        return "[" + std::string(text) + "]";
    }
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&own)->sin6_addr, text, sizeof text);
    ipResolve = CURL_IPRESOLVE_V6;
    return "[IPv6:" + std::string(text) + "]";
}

struct UrlCleanup {
    void operator()(CURLU* u) const { curlLibrary().urlCleanup(u); }
};

// libcurl greets with the path of the URL, or else with the short host name, which servers that
// want a fully qualified one refuse: the URL gets the host's qualified name, or the address
// literal of our own address. A path the settings give stays.
std::string withGreeting(const std::string& url, long& ipResolve) {
    const CurlLibrary& curl = curlLibrary();
    std::unique_ptr<CURLU, UrlCleanup> u(curl.url());
    if (!u || curl.urlSet(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return url;
    auto part = [&](CURLUPart which, unsigned flags = 0) {
        char* text = nullptr;
        std::string out;
        if (curl.urlGet(u.get(), which, &text, flags) == CURLUE_OK && text) out = text;
        curl.free(text);
        return out;
    };
    if (part(CURLUPART_PATH).size() > 1) return url;
    std::string name = hostQualifiedName();
    if (name.empty()) {
        std::string host = part(CURLUPART_HOST);
        if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
        name = ownAddressLiteral(host, part(CURLUPART_PORT, CURLU_DEFAULT_PORT), ipResolve);
    }
    if (name.empty() ||
        curl.urlSet(u.get(), CURLUPART_PATH, ("/" + name).c_str(), CURLU_URLENCODE) != CURLUE_OK)
        return url;
    std::string greeting = part(CURLUPART_URL);
    return greeting.empty() ? url : greeting;
}

// The trust of our own beside the system's: libcurl's CAINFO would replace the system's store.
struct ExtraTrust {
    std::string path;  // native
    bool folder = false;
    bool loaded = true;
};

CURLcode addTrust(CURL*, void* sslContext, void* user) {
    auto* trust = static_cast<std::vector<ExtraTrust>*>(user);
    for (auto& t : *trust) {
        t.loaded = SSL_CTX_load_verify_locations(static_cast<SSL_CTX*>(sslContext),
                                                 t.folder ? nullptr : t.path.c_str(),
                                                 t.folder ? t.path.c_str() : nullptr) == 1;
        if (!t.loaded) return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

std::vector<ExtraTrust> extraTrust(const std::string& cp932CaFile) {
    std::vector<ExtraTrust> out;
    std::string fromSettings = cp932CaFile.empty() ? "" : nativePath(cp932CaFile).string();
    const char* fromEnv = std::getenv("KORVANTO_CA_FILE");
    for (const std::string& p : {fromSettings, std::string(fromEnv ? fromEnv : "")}) {
        if (p.empty()) continue;
        std::error_code ec;
        out.push_back({p, std::filesystem::is_directory(p, ec)});
    }
    return out;
}

}  // namespace

void sendMail(const std::string& server, const OutgoingMail& mail, const SmtpOptions& options) {
    checkServerName(server);
    if (hasLineBreakOrNul(options.user) || hasLineBreakOrNul(options.password) ||
        hasLineBreakOrNul(options.bearer))
        throw MailError(
            serverError("SMTP", server, "ユーザー名かパスワードに改行が含まれています"_cp));
    ensureMimeInitialised();
    // Everything that goes to libcurl comes from these checks.
    Envelope envelope = checkedEnvelope(mail);
    std::string data = buildMessage(mail);

    const CurlLibrary* loaded = nullptr;
    try {
        loaded = &curlLibrary();
    } catch (const std::exception& e) {
        throw MailError("SMTPの準備ができません: "_cp + e.what());
    }
    const CurlLibrary& curl = *loaded;
    std::unique_ptr<CURL, CurlCleanup> handle(curl.easyInit());
    if (!handle) throw MailError("SMTPの準備ができません (libcurl)"_cp);
    std::unique_ptr<curl_slist, SlistCleanup> rcpt;
    for (const auto& a : envelope.recipients)
        rcpt.reset(curl.slistAppend(rcpt.release(), ("<" + a + ">").c_str()));

    long ipResolve = CURL_IPRESOLVE_WHATEVER;
    std::string url = withGreeting(
        smtpUrl(cp932ToUtf8(server), options.security == Security::Implicit), ipResolve);
    const bool login = !options.user.empty();
    std::string reply;
    char errorText[CURL_ERROR_SIZE] = "";
    Upload upload{&data};
    CURL* c = handle.get();
    curl.easySetopt(c, CURLOPT_URL, url.c_str());
    curl.easySetopt(c, CURLOPT_IPRESOLVE, ipResolve);
    curl.easySetopt(c, CURLOPT_MAIL_FROM, ("<" + envelope.from + ">").c_str());
    curl.easySetopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
    curl.easySetopt(c, CURLOPT_UPLOAD, 1L);
    curl.easySetopt(c, CURLOPT_READFUNCTION, readCallback);
    curl.easySetopt(c, CURLOPT_READDATA, &upload);
    curl.easySetopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
    curl.easySetopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl.easySetopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, kReplyTimeoutSeconds);
    curl.easySetopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl.easySetopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl.easySetopt(c, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl.easySetopt(c, CURLOPT_VERBOSE, 1L);
    curl.easySetopt(c, CURLOPT_DEBUGFUNCTION, debugCallback);
    curl.easySetopt(c, CURLOPT_DEBUGDATA, &reply);
    // STARTTLS when offered; required when asked for, and for a login unless plain text was
    // chosen: a password never goes out in clear by surprise.
    long useSsl = CURLUSESSL_NONE;
    if (options.security == Security::Required || (login && options.security == Security::Auto))
        useSsl = CURLUSESSL_ALL;
    else if (options.security == Security::Auto)
        useSsl = CURLUSESSL_TRY;
    curl.easySetopt(c, CURLOPT_USE_SSL, useSsl);
    std::vector<ExtraTrust> trust = extraTrust(options.caFile);
    if (!trust.empty()) {
        curl.easySetopt(c, CURLOPT_SSL_CTX_FUNCTION, addTrust);
        curl.easySetopt(c, CURLOPT_SSL_CTX_DATA, &trust);
    }
    std::string user = cp932ToUtf8(options.user);
    if (login) {
        curl.easySetopt(c, CURLOPT_USERNAME, user.c_str());
        if (options.bearer.empty()) {
            curl.easySetopt(c, CURLOPT_PASSWORD, options.password.c_str());
        } else {
            // Only the token mechanisms: the token is never offered to another one.
            curl.easySetopt(c, CURLOPT_LOGIN_OPTIONS, "AUTH=OAUTHBEARER;AUTH=XOAUTH2");
            curl.easySetopt(c, CURLOPT_XOAUTH2_BEARER, options.bearer.c_str());
        }
    }
    CURLcode rc = curl.easyPerform(c);
    for (const auto& t : trust)
        if (!t.loaded)
            throw MailError("証明書ファイル "_cp + fromNativePath(t.path) + " を読めません"_cp);
    if (rc == CURLE_OK) return;

    std::string reason = errorText[0] ? errorText : curl.easyStrerror(rc);
    // A server that echoes what it was sent must not put the password or token into an error text.
    for (std::string* t : {&reason, &reply})
        for (const std::string* secret : {&options.password, &options.bearer}) {
            if (secret->empty()) continue;
            for (std::size_t at = t->find(*secret); at != std::string::npos;
                 at = t->find(*secret, at + 3))
                t->replace(at, secret->size(), "***");
        }
    std::string text;
    if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST ||
        rc == CURLE_OPERATION_TIMEDOUT)
        text = "SMTPサーバ "_cp + server + " に接続できません: "_cp + reason;
    else
        text = "SMTPサーバ "_cp + server + " への送信に失敗しました: "_cp + reason;
    if (!reply.empty() && rc != CURLE_COULDNT_CONNECT && rc != CURLE_COULDNT_RESOLVE_HOST)
        text += " (サーバの応答: "_cp + guessToCp932(reply) + ")";
    // A refused login sent nothing: the caller may try once more with a fresh token.
    throw MailError(
        text, rc == CURLE_LOGIN_DENIED ? MailError::Kind::LoginRefused : MailError::Kind::Failed);
}

}  // namespace korv::mail
