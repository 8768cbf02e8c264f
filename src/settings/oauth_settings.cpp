#include "settings/oauth_settings.h"

#include <filesystem>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "settings/settings.h"

namespace korv {
namespace {

bool sameWord(const std::string& a, const char* b) { return equalsIgnoringCase(a, b); }

// Tokens travel to the endpoint: https, or http to this machine only (a local test server).
bool safeEndpoint(const std::string& url) {
    auto lower = url;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("https://", 0) == 0) return url.size() > 8;
    for (const char* local : {"http://127.0.0.1:", "http://127.0.0.1/", "http://localhost:",
                              "http://localhost/", "http://[::1]:", "http://[::1]/"})
        if (lower.rfind(local, 0) == 0) return true;
    return false;
}

}  // namespace

OAuthSettings LoadOAuthSettings(const std::string& iniPath) {
    ProfileFile ini(iniPath);
    const std::string sec = kSettingsSection;
    OAuthSettings s;
    s.Pop3Auth = ini.get(sec, "Pop3Auth", "");
    s.SmtpAuth = ini.get(sec, "SmtpAuth", "");
    s.OAuthProvider = ini.get(sec, "OAuthProvider", "");
    s.OAuthClientId = ini.get(sec, "OAuthClientId", "");
    s.OAuthClientSecret = ini.get(sec, "OAuthClientSecret", "");
    s.OAuthAuthorizeUrl = ini.get(sec, "OAuthAuthorizeUrl", "");
    s.OAuthTokenUrl = ini.get(sec, "OAuthTokenUrl", "");
    s.OAuthDeviceUrl = ini.get(sec, "OAuthDeviceUrl", "");
    s.OAuthScope = ini.get(sec, "OAuthScope", "");
    std::size_t slash = iniPath.find_last_of(kPathDelimiter);
    s.home = slash == std::string::npos ? std::string() : iniPath.substr(0, slash + 1);
    return s;
}

bool usesOAuth2(const std::string& authText, const char* key) {
    if (authText.empty() || sameWord(authText, "password")) return false;
    if (sameWord(authText, "oauth2")) return true;
    throw SettingsError(std::string(key) + " は password か oauth2 です: \""_cp +
                        authText.substr(0, 40) + "\"");
}

OAuthEndpoints oauthEndpoints(const OAuthSettings& s) {
    OAuthEndpoints e;
    e.clientId = s.OAuthClientId;
    e.clientSecret = s.OAuthClientSecret;
    if (sameWord(s.OAuthProvider, "microsoft")) {
        e.provider = "microsoft";
        const std::string base = "https://login.microsoftonline.com/common/oauth2/v2.0/";
        e.authorizeUrl = base + "authorize";
        e.tokenUrl = base + "token";
        e.deviceUrl = base + "devicecode";
        e.scope =
            "https://outlook.office.com/POP.AccessAsUser.All "
            "https://outlook.office.com/SMTP.Send offline_access";
    } else if (sameWord(s.OAuthProvider, "google")) {
        e.provider = "google";
        e.authorizeUrl = "https://accounts.google.com/o/oauth2/v2/auth";
        e.tokenUrl = "https://oauth2.googleapis.com/token";
        e.deviceUrl = "https://oauth2.googleapis.com/device/code";
        e.scope = "https://mail.google.com/";
    } else if (sameWord(s.OAuthProvider, "custom")) {
        e.provider = "custom";
        e.authorizeUrl = s.OAuthAuthorizeUrl;
        e.tokenUrl = s.OAuthTokenUrl;
        e.deviceUrl = s.OAuthDeviceUrl;
        e.scope = s.OAuthScope;
        if (e.tokenUrl.empty()) throw SettingsError("OAuthTokenUrl がありません"_cp);
        for (auto [key, url] : {std::pair{"OAuthAuthorizeUrl", e.authorizeUrl},
                                {"OAuthTokenUrl", e.tokenUrl},
                                {"OAuthDeviceUrl", e.deviceUrl}})
            if (!url.empty() && !safeEndpoint(url))
                throw SettingsError(std::string(key) + " は https:// で始まる必要があります: "_cp +
                                    url.substr(0, 200));
    } else {
        throw SettingsError("OAuthProvider は microsoft, google, custom のどれかです: \""_cp +
                            s.OAuthProvider.substr(0, 40) + "\"");
    }
    if (e.clientId.empty()) throw SettingsError("OAuthClientId がありません"_cp);
    return e;
}

}  // namespace korv
