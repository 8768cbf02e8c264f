#include "settings/oauth_tokens.h"

#include <fcntl.h>
#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <tuple>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"

namespace korv {
namespace {

using Json = nlohmann::json;

const SecretSchema* schema() {
    static const SecretSchema s = {"jp.korvanto.OAuth2",
                                   SECRET_SCHEMA_NONE,
                                   {{"home", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"provider", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

struct ErrorFree {
    GError* e = nullptr;
    ~ErrorFree() {
        if (e) g_error_free(e);
    }
};

[[noreturn]] void fileFailed(const std::string& what, const std::string& path, int err) {
    throw FileError(what + ": " + path + ": " + utf8ToCp932(std::strerror(err)));
}

std::string readTokenFile(const std::string& path) {
    int fd = openPath(path, O_RDONLY | O_CLOEXEC, 0, Links::Refuse);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        fileFailed("トークンのファイルを開けません"_cp, path, errno);
    }
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20)) {
        // A file others could read is narrowed to its owner before it is used again.
        if (st.st_mode & 077) fchmod(fd, 0600);
        char buf[4096];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, n);
    }
    ::close(fd);
    return text;
}

void writeTokenFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    unlinkat(AT_FDCWD, nativePath(temp).c_str(), 0);
    int fd = openPath(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600, Links::Refuse);
    if (fd < 0) fileFailed("トークンのファイルを作れません"_cp, temp, errno);
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (!ok || std::rename(nativePath(temp).c_str(), nativePath(path).c_str()) != 0) {
        if (ok) err = errno;
        unlinkat(AT_FDCWD, nativePath(temp).c_str(), 0);
        fileFailed("トークンのファイルに書けません"_cp, path, err);
    }
}

struct Cached {
    std::string accessToken;
    std::chrono::system_clock::time_point expiresAt;
    std::chrono::seconds lifetime{0};
};
using CacheKey = std::tuple<std::string, std::string, std::string, std::string>;

std::mutex& cacheLock() {
    static std::mutex m;
    return m;
}
std::map<CacheKey, Cached>& cache() {
    static std::map<CacheKey, Cached> c;
    return c;
}
CacheKey keyOf(const Settings& s, const OAuthEndpoints& e) {
    return {s.OAuth.home, s.UserID, e.provider, e.clientId};
}

void remember(const Settings& s, const OAuthEndpoints& e, const OAuthTokens& t) {
    std::lock_guard lock(cacheLock());
    cache()[keyOf(s, e)] = {t.accessToken, t.expiresAt, t.lifetime};
}

}  // namespace

TokenStore::TokenStore(const Settings& s)
    : home_(cp932ToUtf8(s.OAuth.home)),
      user_(cp932ToUtf8(s.UserID)),
      provider_(oauthEndpoints(s.OAuth).provider),
      file_(s.OAuth.home + kTokenFileName) {}

std::optional<std::string> TokenStore::load() const {
    ErrorFree error;
    gchar* secret =
        secret_password_lookup_sync(schema(), nullptr, &error.e, "home", home_.c_str(), "user",
                                    user_.c_str(), "provider", provider_.c_str(), nullptr);
    if (secret) {
        std::string token = secret;
        secret_password_free(secret);
        return token;
    }
    Json j = Json::parse(readTokenFile(file_), nullptr, false);
    if (!j.is_object() || j.value("user", "") != user_ || j.value("provider", "") != provider_)
        return std::nullopt;
    std::string token = j.value("refresh_token", "");
    if (token.empty()) return std::nullopt;
    return token;
}

std::string TokenStore::save(const std::string& refreshToken) const {
    ErrorFree error;
    std::string label = "Korvanto OAuth2 " + user_;
    if (secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                   refreshToken.c_str(), nullptr, &error.e, "home", home_.c_str(),
                                   "user", user_.c_str(), "provider", provider_.c_str(), nullptr)) {
        // No second copy stays behind in the file.
        unlinkat(AT_FDCWD, nativePath(file_).c_str(), 0);
        return "Secret Service";
    }
    Json j = {{"user", user_}, {"provider", provider_}, {"refresh_token", refreshToken}};
    writeTokenFile(file_, j.dump());
    return file_;
}

void TokenStore::erase() const {
    ErrorFree error;
    secret_password_clear_sync(schema(), nullptr, &error.e, "home", home_.c_str(), "user",
                               user_.c_str(), "provider", provider_.c_str(), nullptr);
    unlinkat(AT_FDCWD, nativePath(file_).c_str(), 0);
}

std::string SignIn(const Settings& s, bool device, const SignInPrompts& prompts) {
    OAuthEndpoints e = oauthEndpoints(s.OAuth);
    if (s.UserID.empty()) throw SettingsError("UserID がありません"_cp);
    OAuthTokens t = device ? signInWithDevice(e, prompts.showCode)
                           : signInWithBrowser(e, prompts.showUrl, prompts.timeoutMs);
    if (t.refreshToken.empty())
        throw OAuthRefused("サインインの応答にリフレッシュトークンがありません"_cp);
    std::string where = TokenStore(s).save(t.refreshToken);
    remember(s, e, t);
    return where;
}

std::string OAuthAccessToken(const Settings& s, bool forceRefresh) {
    OAuthEndpoints e = oauthEndpoints(s.OAuth);
    const auto now = std::chrono::system_clock::now();
    if (!forceRefresh) {
        std::lock_guard lock(cacheLock());
        auto it = cache().find(keyOf(s, e));
        // "About to expire": within a minute, or half the lifetime of a short-lived token.
        if (it != cache().end() &&
            it->second.expiresAt - std::min<std::chrono::seconds>(std::chrono::seconds(60),
                                                                  it->second.lifetime / 2) >
                now)
            return it->second.accessToken;
    }
    TokenStore store(s);
    std::optional<std::string> refresh = store.load();
    if (!refresh) throw OAuthRefused("サインインしていません。"_cp + signInAgainText());
    OAuthTokens t = refreshTokens(e, *refresh);
    if (!t.refreshToken.empty() && t.refreshToken != *refresh) store.save(t.refreshToken);
    remember(s, e, t);
    return t.accessToken;
}

int LoginWithOAuthToken(const Settings& s, const std::function<int(const std::string&)>& login,
                        int refused) {
    int result = login(OAuthAccessToken(s));
    // The provider may have revoked the token early; a fresh one tells.
    if (result == refused) result = login(OAuthAccessToken(s, true));
    return result;
}

std::optional<std::string> SignedInUser(const Settings& s) {
    if (!TokenStore(s).load()) return std::nullopt;
    return s.UserID;
}

}  // namespace korv
