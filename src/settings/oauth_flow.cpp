#include "settings/oauth_flow.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/curl_library.h"

namespace korv {
namespace {

using Json = nlohmann::json;
using Fields = std::vector<std::pair<std::string, std::string>>;
using SteadyClock = std::chrono::steady_clock;

constexpr long kConnectSeconds = 30;
constexpr long kRequestSeconds = 60;
constexpr int kRequestReadMs = 10000;
constexpr std::size_t kMaxRequestBytes = 16384;
constexpr std::size_t kMaxReplyBytes = 1 << 20;

std::string base64Url(const unsigned char* bytes, int n) {
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, n);
    out.resize(len);
    for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    while (!out.empty() && out.back() == '=') out.pop_back();
    return out;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curlLibrary().easyCleanup(c); }
};
using Curl = std::unique_ptr<CURL, CurlDeleter>;

Curl newCurl() {
    const CurlLibrary* curl = nullptr;
    try {
        curl = &curlLibrary();
    } catch (const std::exception& e) {
        throw OAuthUnreachable("HTTP の準備ができません: "_cp + e.what());
    }
    Curl c(curl->easyInit());
    if (!c) throw OAuthUnreachable("HTTP の準備ができません (libcurl)"_cp);
    return c;
}

std::string escaped(CURL* c, const std::string& text) {
    const CurlLibrary& curl = curlLibrary();
    char* e = curl.easyEscape(c, text.data(), static_cast<int>(text.size()));
    std::string out = e ? e : "";
    curl.free(e);
    return out;
}

std::string formOf(CURL* c, const Fields& fields) {
    std::string out;
    for (const auto& [k, v] : fields) {
        if (v.empty()) continue;
        if (!out.empty()) out += '&';
        out += escaped(c, k) + '=' + escaped(c, v);
    }
    return out;
}

size_t collect(char* data, size_t size, size_t n, void* user) {
    auto* body = static_cast<std::string*>(user);
    if (body->size() + size * n > kMaxReplyBytes) return 0;
    body->append(data, size * n);
    return size * n;
}

// A text from the provider for an error: printable, short, CP932.
std::string providerText(const std::string& utf8) {
    std::string t = utf8.substr(0, 300);
    for (char& c : t)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return utf8ToCp932(t);
}

struct HttpReply {
    long status = 0;
    Json json;
};

// POSTs a form and reads the JSON answer. Transport failures and answers that are no JSON are
// OAuthUnreachable; the status and the JSON are the caller's to judge.
HttpReply postForm(const std::string& url, const Fields& fields) {
    Curl c = newCurl();
    const CurlLibrary& curl = curlLibrary();
    std::string form = formOf(c.get(), fields);
    std::string body;
    char errorText[CURL_ERROR_SIZE] = "";
    curl.easySetopt(c.get(), CURLOPT_URL, url.c_str());
    curl.easySetopt(c.get(), CURLOPT_PROTOCOLS_STR, "https,http");
    curl.easySetopt(c.get(), CURLOPT_POSTFIELDS, form.c_str());
    curl.easySetopt(c.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl.easySetopt(c.get(), CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl.easySetopt(c.get(), CURLOPT_TIMEOUT, kRequestSeconds);
    curl.easySetopt(c.get(), CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(c.get(), CURLOPT_ERRORBUFFER, errorText);
    curl.easySetopt(c.get(), CURLOPT_WRITEFUNCTION, collect);
    curl.easySetopt(c.get(), CURLOPT_WRITEDATA, &body);
    curl_slist* headers = curl.slistAppend(nullptr, "Accept: application/json");
    curl.easySetopt(c.get(), CURLOPT_HTTPHEADER, headers);
    CURLcode rc = curl.easyPerform(c.get());
    curl.slistFreeAll(headers);
    if (rc != CURLE_OK)
        throw OAuthUnreachable("トークンのサーバ "_cp + providerText(url) +
                               " に接続できません: "_cp +
                               providerText(errorText[0] ? errorText : curl.easyStrerror(rc)));
    HttpReply reply;
    curl.easyGetinfo(c.get(), CURLINFO_RESPONSE_CODE, &reply.status);
    reply.json = Json::parse(body, nullptr, false);
    if (reply.json.is_discarded() || !reply.json.is_object())
        throw OAuthUnreachable("トークンのサーバ "_cp + providerText(url) +
                               " の応答が読めません (HTTP "_cp + std::to_string(reply.status) +
                               ")");
    return reply;
}

std::string stringField(const Json& j, const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// expires_in as a number or as digits (some providers send a string).
std::chrono::seconds lifetimeOf(const Json& j) {
    auto it = j.find("expires_in");
    long long s = 3600;
    if (it != j.end() && it->is_number_integer()) s = it->get<long long>();
    if (it != j.end() && it->is_string()) {
        try {
            s = std::stoll(it->get<std::string>());
        } catch (...) {
        }
    }
    return std::chrono::seconds(std::clamp<long long>(s, 1, 365LL * 24 * 3600));
}

// The error of a refused token request: invalid_grant and its kin need a new sign-in; a
// server failure may pass.
[[noreturn]] void throwTokenError(const std::string& url, const HttpReply& r) {
    std::string code = stringField(r.json, "error");
    std::string why = "トークンのサーバ "_cp + providerText(url) + " が拒否しました: "_cp +
                      (code.empty() ? "HTTP " + std::to_string(r.status) : providerText(code));
    std::string description = stringField(r.json, "error_description");
    if (!description.empty()) why += " (" + providerText(description) + ")";
    if (r.status >= 500 || r.status == 429) throw OAuthUnreachable(why);
    throw OAuthRefused(why + " " + signInAgainText());
}

OAuthTokens tokensOf(const std::string& url, const HttpReply& r) {
    if (r.status != 200 || r.json.contains("error")) throwTokenError(url, r);
    OAuthTokens t;
    t.accessToken = stringField(r.json, "access_token");
    t.refreshToken = stringField(r.json, "refresh_token");
    if (t.accessToken.empty())
        throw OAuthUnreachable("トークンのサーバ "_cp + providerText(url) +
                               " の応答にアクセストークンがありません"_cp);
    t.lifetime = lifetimeOf(r.json);
    t.expiresAt = std::chrono::system_clock::now() + t.lifetime;
    return t;
}

Fields clientFields(const OAuthEndpoints& e) {
    return {{"client_id", e.clientId}, {"client_secret", e.clientSecret}};
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 &&
                   hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::map<std::string, std::string> queryOf(std::string_view query) {
    std::map<std::string, std::string> out;
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        std::size_t eq = pair.find('=');
        std::string key = percentDecoded(pair.substr(0, eq));
        // A repeated key is suspect: the first one counts.
        if (!key.empty())
            out.emplace(key,
                        eq == std::string_view::npos ? "" : percentDecoded(pair.substr(eq + 1)));
    }
    return out;
}

void answer(int fd, const char* status, const std::string& utf8Text) {
    std::string page =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Korvanto</title>"
        "</head><body><p>" +
        utf8Text + "</p></body></html>";
    std::string reply = std::string("HTTP/1.1 ") + status +
                        "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                        std::to_string(page.size()) +
                        "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + page;
    std::size_t sent = 0;
    while (sent < reply.size()) {
        ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// Waits for fd to become readable until deadline; false when it passed or a stop was asked.
bool waitReadable(int fd, SteadyClock::time_point deadline) {
    for (;;) {
        if (stopRequested().load()) return false;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 200)));
        if (r > 0) return true;
    }
}

std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string signInAgainText() { return "korvanto --sign-in でサインインし直してください"_cp; }

std::string randomUrlText(int bytes) {
    std::vector<unsigned char> raw(static_cast<std::size_t>(bytes));
    if (RAND_bytes(raw.data(), bytes) != 1) throw std::runtime_error("乱数を得られません"_cp);
    return base64Url(raw.data(), bytes);
}

std::string pkceChallenge(const std::string& verifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(verifier.data(), verifier.size(), digest, &len, EVP_sha256(), nullptr);
    return base64Url(digest, static_cast<int>(len));
}

LoopbackRedirect::LoopbackRedirect() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_, 4) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw OAuthUnreachable("サインインの受け口を 127.0.0.1 に開けません"_cp);
    }
    port_ = ntohs(a.sin_port);
}

LoopbackRedirect::~LoopbackRedirect() {
    if (fd_ >= 0) ::close(fd_);
}

std::string LoopbackRedirect::redirectUri() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string LoopbackRedirect::awaitCode(const std::string& state, int timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string ownHost = "127.0.0.1:" + std::to_string(port_);
    for (;;) {
        if (!waitReadable(fd_, deadline))
            throw OAuthUnreachable("サインインが時間内に終わりませんでした"_cp);
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int conn = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (conn < 0) continue;
        FdCloser closer{conn};
        if (peer.sin_family != AF_INET || ntohl(peer.sin_addr.s_addr) != INADDR_LOOPBACK) continue;
        std::string request;
        auto readDeadline =
            std::min(deadline, SteadyClock::now() + std::chrono::milliseconds(kRequestReadMs));
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes &&
               waitReadable(conn, readDeadline)) {
            char buf[2048];
            ssize_t n = ::recv(conn, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        std::size_t headEnd = request.find("\r\n\r\n");
        if (headEnd == std::string::npos) continue;
        std::string_view head(request.data(), headEnd + 2);
        std::size_t lineEnd = head.find("\r\n");
        std::string_view line = head.substr(0, lineEnd);
        if (line.substr(0, 4) != "GET ") {
            answer(conn, "405 Method Not Allowed", "");
            continue;
        }
        std::string_view target = line.substr(4, line.find(' ', 4) - 4);
        std::size_t q = target.find('?');
        if (target.substr(0, q) != "/") {
            answer(conn, "404 Not Found", "");
            continue;
        }
        std::string host;
        for (std::size_t at = lineEnd + 2; at < head.size();) {
            std::size_t end = head.find("\r\n", at);
            std::string_view h = head.substr(at, end - at);
            at = end + 2;
            std::size_t colon = h.find(':');
            if (colon == std::string_view::npos) continue;
            if (lowerCase(std::string(h.substr(0, colon))) != "host") continue;
            std::string_view v = h.substr(colon + 1);
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
            host = std::string(v);
            break;
        }
        // A page elsewhere that reaches this port through another name (DNS rebinding) is not
        // the provider's redirect.
        if (host != ownHost) {
            answer(conn, "400 Bad Request", "");
            throw OAuthRefused("別のアドレスからのリダイレクトを拒否しました: "_cp +
                               providerText(host.substr(0, 80)));
        }
        auto query = queryOf(q == std::string_view::npos ? "" : target.substr(q + 1));
        if (query["state"] != state) {
            answer(conn, "400 Bad Request", cp932ToUtf8("サインインできませんでした。"_cp));
            throw OAuthRefused("サインインの応答の state が一致しません"_cp);
        }
        if (!query["error"].empty()) {
            answer(conn, "200 OK", cp932ToUtf8("サインインできませんでした。"_cp));
            throw OAuthRefused("サインインが拒否されました: "_cp + providerText(query["error"]));
        }
        if (query["code"].empty()) {
            answer(conn, "400 Bad Request", cp932ToUtf8("サインインできませんでした。"_cp));
            throw OAuthRefused("サインインの応答にコードがありません"_cp);
        }
        answer(
            conn, "200 OK",
            cp932ToUtf8("サインインしました。このページを閉じて Korvanto に戻ってください。"_cp));
        return query["code"];
    }
}

std::string authorizationUrl(const OAuthEndpoints& e, const std::string& redirectUri,
                             const std::string& state, const std::string& challenge) {
    Curl c = newCurl();
    Fields fields{{"response_type", "code"},
                  {"client_id", e.clientId},
                  {"redirect_uri", redirectUri},
                  {"scope", e.scope},
                  {"state", state},
                  {"code_challenge", challenge},
                  {"code_challenge_method", "S256"}};
    // Google hands out a refresh token only when asked for offline access.
    if (e.provider == "google") {
        fields.emplace_back("access_type", "offline");
        fields.emplace_back("prompt", "consent");
    }
    char join = e.authorizeUrl.find('?') == std::string::npos ? '?' : '&';
    return e.authorizeUrl + join + formOf(c.get(), fields);
}

OAuthTokens signInWithBrowser(const OAuthEndpoints& e,
                              const std::function<void(const std::string& url)>& showUrl,
                              int timeoutMs) {
    if (e.authorizeUrl.empty())
        throw OAuthRefused("認可のアドレス (OAuthAuthorizeUrl) がありません"_cp);
    LoopbackRedirect redirect;
    const std::string verifier = randomUrlText(32);
    const std::string state = randomUrlText(16);
    showUrl(authorizationUrl(e, redirect.redirectUri(), state, pkceChallenge(verifier)));
    std::string code = redirect.awaitCode(state, timeoutMs);
    Fields fields = clientFields(e);
    fields.insert(fields.end(), {{"grant_type", "authorization_code"},
                                 {"code", code},
                                 {"redirect_uri", redirect.redirectUri()},
                                 {"code_verifier", verifier}});
    return tokensOf(e.tokenUrl, postForm(e.tokenUrl, fields));
}

OAuthTokens signInWithDevice(
    const OAuthEndpoints& e,
    const std::function<void(const std::string& url, const std::string& userCode)>& showCode) {
    if (e.deviceUrl.empty())
        throw OAuthRefused("デバイスのサインインのアドレス (OAuthDeviceUrl) がありません"_cp);
    Fields ask = clientFields(e);
    ask.emplace_back("scope", e.scope);
    HttpReply r = postForm(e.deviceUrl, ask);
    if (r.status != 200 || r.json.contains("error")) throwTokenError(e.deviceUrl, r);
    std::string deviceCode = stringField(r.json, "device_code");
    std::string userCode = stringField(r.json, "user_code");
    std::string url = stringField(r.json, "verification_uri");
    if (url.empty()) url = stringField(r.json, "verification_url");  // Google's name
    if (deviceCode.empty() || userCode.empty() || url.empty())
        throw OAuthUnreachable("デバイスのサインインの応答が足りません"_cp);
    auto interval = std::chrono::seconds(5);
    if (auto it = r.json.find("interval"); it != r.json.end() && it->is_number_integer())
        interval = std::chrono::seconds(std::clamp<long long>(it->get<long long>(), 1, 60));
    const auto deadline = SteadyClock::now() +
                          std::min<std::chrono::seconds>(lifetimeOf(r.json), std::chrono::hours(1));
    showCode(url, userCode);
    Fields poll = clientFields(e);
    poll.insert(poll.end(), {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                             {"device_code", deviceCode}});
    for (;;) {
        HttpReply t = postForm(e.tokenUrl, poll);
        std::string error = stringField(t.json, "error");
        if (error == "slow_down") interval += std::chrono::seconds(5);
        if (error != "authorization_pending" && error != "slow_down")
            return tokensOf(e.tokenUrl, t);
        auto next = SteadyClock::now() + interval;
        if (next > deadline) throw OAuthRefused("デバイスのサインインの期限が切れました"_cp);
        while (SteadyClock::now() < next) {
            if (stopRequested().load()) throw OAuthUnreachable("サインインを中止しました"_cp);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

OAuthTokens refreshTokens(const OAuthEndpoints& e, const std::string& refreshToken) {
    Fields fields = clientFields(e);
    fields.insert(fields.end(), {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}});
    if (e.provider == "microsoft") fields.emplace_back("scope", e.scope);
    return tokensOf(e.tokenUrl, postForm(e.tokenUrl, fields));
}

}  // namespace korv
