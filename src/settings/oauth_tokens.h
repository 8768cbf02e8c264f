#pragma once
// Where the tokens of a home live: the refresh token in the desktop's secret store (Secret
// Service) when one answers, else in an owner-only file in the home; the access token only in
// this process's memory.
#include <functional>
#include <optional>
#include <string>

#include "settings/oauth_flow.h"
#include "settings/settings.h"

namespace korv {

// The file that holds the refresh token when no secret store answers.
inline constexpr const char* kTokenFileName = "oauth-token.json";

// The refresh token of the settings' home, user and provider.
class TokenStore {
  public:
    explicit TokenStore(const Settings& settings);
    std::optional<std::string> load() const;
    // Returns where it went: "Secret Service" or the file's path (CP932).
    std::string save(const std::string& refreshToken) const;
    void erase() const;
    std::string filePath() const { return file_; }

  private:
    std::string home_, user_, provider_, file_;
};

struct SignInPrompts {
    std::function<void(const std::string& url)> showUrl;  // the browser flow's address
    std::function<void(const std::string& url, const std::string& userCode)> showCode;  // device
    int timeoutMs = 300000;
};

// Signs the settings' user in (the device flow when device), keeps the refresh token and the
// access token for this process. Returns where the refresh token went. Throws SettingsError,
// OAuthRefused or OAuthUnreachable.
std::string SignIn(const Settings& settings, bool device, const SignInPrompts& prompts);

// The access token for a login: the one in memory while it has some time left, else a fresh
// one (forceRefresh: always a fresh one, after the server refused the one in memory). Throws
// OAuthRefused with the sign-in text when there is no refresh token or the provider refuses it,
// OAuthUnreachable when it cannot be asked.
std::string OAuthAccessToken(const Settings& settings, bool forceRefresh = false);

// A login with the access token; when login returns refused, once more with a fresh token. Its
// result, or the errors of OAuthAccessToken.
int LoginWithOAuthToken(const Settings& settings,
                        const std::function<int(const std::string& token)>& login, int refused);

// Who is signed in for these settings (the user), or nothing.
std::optional<std::string> SignedInUser(const Settings& settings);

}  // namespace korv
