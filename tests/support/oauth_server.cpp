#include "support/oauth_server.h"

#include <curl/curl.h>

#include <stdexcept>

namespace korv::test {
namespace {

size_t collect(char* data, size_t size, size_t n, void* body) {
    static_cast<std::string*>(body)->append(data, size * n);
    return size * n;
}

HttpResult request(const std::string& url, const std::string* form, const std::string& host) {
    CURL* c = curl_easy_init();
    HttpResult r;
    curl_slist* headers =
        host.empty() ? nullptr : curl_slist_append(nullptr, ("Host: " + host).c_str());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    if (form) curl_easy_setopt(c, CURLOPT_POSTFIELDS, form->c_str());
    if (curl_easy_perform(c) == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
        char* location = nullptr;
        curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location);
        if (location) r.location = location;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return r;
}

}  // namespace

HttpResult httpGet(const std::string& url, const std::string& host) {
    return request(url, nullptr, host);
}

std::string httpPost(const std::string& url, const std::string& form) {
    HttpResult r = request(url, &form, "");
    if (r.status != 200)
        throw std::runtime_error("POST " + url + " answered " + std::to_string(r.status));
    return r.body;
}

OAuthServer::OAuthServer(const std::string& user, int lifetimeSeconds)
    : server_({supportScript("oauth_server.py"), user, "--lifetime",
               std::to_string(lifetimeSeconds)}) {}

std::string OAuthServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
}

std::string OAuthServer::settingsText() const {
    return "Pop3Auth=oauth2\r\nSmtpAuth=oauth2\r\nOAuthProvider=custom\r\n"
           "OAuthClientId=korvanto-test\r\nOAuthScope=mail\r\nOAuthAuthorizeUrl=" +
           url("/authorize") + "\r\nOAuthTokenUrl=" + url("/token") +
           "\r\nOAuthDeviceUrl=" + url("/device") + "\r\n";
}

void OAuthServer::setLifetime(int seconds) {
    httpPost(url("/control"), "lifetime=" + std::to_string(seconds));
}

void OAuthServer::revoke(const std::string& token) { httpPost(url("/revoke"), "token=" + token); }

void OAuthServer::approveDevice(const std::string& userCode) {
    httpPost(url("/device/approve"), "user_code=" + userCode);
}

int OAuthServer::issued(const std::string& grant) const {
    std::string stats = httpGet(url("/stats")).body;
    std::size_t at = stats.find("\"" + grant + "\": ");
    if (at == std::string::npos) throw std::runtime_error("no " + grant + " in " + stats);
    return std::stoi(stats.substr(at + grant.size() + 4));
}

}  // namespace korv::test
