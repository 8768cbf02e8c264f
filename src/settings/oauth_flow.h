#pragma once
// OAuth2 sign-in and refresh against a provider's endpoints: the authorization code flow with
// PKCE (S256) and a one-time listener on 127.0.0.1, the device flow (RFC 8628), and the refresh.
// HTTP goes through libcurl with a time-out on every wait; no token ever goes into an error text.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "settings/oauth_settings.h"

namespace korv {

// The provider refused (a revoked or expired grant, a refused sign-in): only signing in again
// helps. A login refusal to the caller.
class OAuthRefused : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// The provider could not be reached or did not answer sensibly: a later try may work.
class OAuthUnreachable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct OAuthTokens {
    std::string accessToken;
    std::string refreshToken;  // empty when the provider sent none
    std::chrono::system_clock::time_point expiresAt;
    std::chrono::seconds lifetime{0};
};

// Random base64url text of bytes random bytes (for the PKCE verifier and the state).
std::string randomUrlText(int bytes);
// The S256 challenge of a PKCE verifier.
std::string pkceChallenge(const std::string& verifier);

// The one-time listener the browser is sent back to: 127.0.0.1 on a free port. It takes the
// first request for its path whose Host is its own address and that comes from this machine;
// another path is answered 404 and waited on.
class LoopbackRedirect {
  public:
    LoopbackRedirect();  // throws OAuthUnreachable when no port can be had
    ~LoopbackRedirect();
    LoopbackRedirect(const LoopbackRedirect&) = delete;
    LoopbackRedirect& operator=(const LoopbackRedirect&) = delete;
    std::string redirectUri() const;
    int port() const { return port_; }
    // The code of the redirect. Throws OAuthRefused when the state differs, the provider says
    // error=..., or the request names another host; OAuthUnreachable when timeoutMs pass.
    std::string awaitCode(const std::string& state, int timeoutMs);

  private:
    int fd_ = -1;
    int port_ = 0;
};

// The address the user opens to sign in.
std::string authorizationUrl(const OAuthEndpoints& e, const std::string& redirectUri,
                             const std::string& state, const std::string& challenge);

// The authorization code flow: showUrl receives the address to open (print it, open a browser),
// then the redirect is awaited for at most timeoutMs and the code exchanged with its verifier.
OAuthTokens signInWithBrowser(const OAuthEndpoints& e,
                              const std::function<void(const std::string& url)>& showUrl,
                              int timeoutMs = 300000);

// The device flow: showCode receives the address and the code the user types there.
OAuthTokens signInWithDevice(
    const OAuthEndpoints& e,
    const std::function<void(const std::string& url, const std::string& userCode)>& showCode);

// A new access token for a refresh token (the provider may send a new refresh token too).
OAuthTokens refreshTokens(const OAuthEndpoints& e, const std::string& refreshToken);

// Text the user reads when only a new sign-in helps.
std::string signInAgainText();

}  // namespace korv
