#pragma once
// The local authorization server (oauth_server.py) for one test, and HTTP as a browser makes it.
#include <string>

#include "support/smtp_server.h"

namespace korv::test {

class OAuthServer {
  public:
    // Every sign-in is user's; access tokens live lifetimeSeconds.
    explicit OAuthServer(const std::string& user, int lifetimeSeconds = 3600);
    std::string url(const std::string& path) const;
    // Settings lines ("Key=value\r\n") for a custom provider at this server, OAuth2 for both.
    std::string settingsText() const;
    void setLifetime(int seconds);
    void revoke(const std::string& token);
    void approveDevice(const std::string& userCode);
    // How many access tokens each grant ("code", "refresh", "device") has issued.
    int issued(const std::string& grant) const;

  private:
    ScriptServer server_;
};

struct HttpResult {
    long status = 0;  // 0: no answer
    std::string location;
    std::string body;
};
// One GET as a browser makes it, redirects not followed; host, when given, replaces the Host.
HttpResult httpGet(const std::string& url, const std::string& host = "");
std::string httpPost(const std::string& url, const std::string& form);

}  // namespace korv::test
