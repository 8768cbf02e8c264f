#pragma once
// The OAuth2 keys of the settings file and the endpoints they stand for.
#include <string>

namespace korv {

// Read from the settings file beside the other keys; "write ini" never writes them.
struct OAuthSettings {
    std::string Pop3Auth;       // password (empty) or oauth2
    std::string SmtpAuth;       // password (empty) or oauth2
    std::string OAuthProvider;  // microsoft, google or custom
    std::string OAuthClientId;
    std::string OAuthClientSecret;  // Google's desktop clients have one; it is not secret
    std::string OAuthAuthorizeUrl;  // custom only, as the next three
    std::string OAuthTokenUrl;
    std::string OAuthDeviceUrl;
    std::string OAuthScope;
    // The folder of the settings file: the tokens are kept for this home.
    std::string home;
};

OAuthSettings LoadOAuthSettings(const std::string& iniPath);

// Pop3Auth or SmtpAuth says oauth2. Throws SettingsError naming the key for a word that is
// neither password nor oauth2.
bool usesOAuth2(const std::string& authText, const char* key);

// Where a provider signs in and what it is asked for.
struct OAuthEndpoints {
    std::string provider;
    std::string authorizeUrl;
    std::string tokenUrl;
    std::string deviceUrl;  // empty: the provider has no device flow
    std::string scope;
    std::string clientId;
    std::string clientSecret;
};

// The built-in endpoints of microsoft and google, or the custom ones. Throws SettingsError
// naming the key when the provider is unknown, the client id is missing, or a custom endpoint
// is missing or is not https (http only to this machine).
OAuthEndpoints oauthEndpoints(const OAuthSettings& settings);

}  // namespace korv
