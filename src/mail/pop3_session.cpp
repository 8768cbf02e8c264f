#include "mail/pop3_session.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {

void Session::refuse(const std::string& reason, int code) const {
    throw MailError(serverError("POP3", connection.server(), reason), code);
}

std::map<int, std::unique_ptr<Session>>& pop3Sessions() {
    static std::map<int, std::unique_ptr<Session>> table;
    return table;
}

Session* findSession(int handle) {
    auto it = pop3Sessions().find(handle);
    return it == pop3Sessions().end() ? nullptr : it->second.get();
}

int newSessionHandle() {
    int h = 1;
    while (pop3Sessions().count(h)) ++h;
    return h;
}

Session& usableSession(int handle) {
    Session* s = findSession(handle);
    if (!s) throw MailError("POP3 の接続がありません"_cp, kMailLibFailed);
    if (s->connection.broken()) throw MailError(s->connection.brokenError(), kMailLibBroken);
    return *s;
}

Session& usableSession(int handle, int number) {
    Session& s = usableSession(handle);
    if (number < 1 || number > s.count)
        s.refuse("メッセージ番号 "_cp + std::to_string(number) + " はありません"_cp,
                 kMailLibFailed);
    return s;
}

long long toNumber(std::string_view digits) {
    if (digits.empty()) return -1;
    long long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n > (LLONG_MAX - 9) / 10 ? LLONG_MAX : n * 10 + (c - '0');
    }
    return n;
}

int loginRefusalCode(std::string_view text) {
    if (text.empty() || text[0] != '[') return kMailLibRefused;
    std::string_view code = text.substr(1, text.find(']') - 1);
    // Codes are hierarchical: SYS/TEMP/anything is still SYS/TEMP.
    auto is = [&](std::string_view name) {
        return startsWithIgnoringCase(code, name) &&
               (code.size() == name.size() || code[name.size()] == '/');
    };
    if (is("LOGIN-DELAY") || is("IN-USE") || is("SYS/TEMP")) return kMailLibTryLater;
    if (is("SYS/PERM")) return kMailLibServerFault;
    return kMailLibRefused;
}

std::string storedId(std::string_view id) {
    auto plain = [](unsigned char c) { return c >= 0x21 && c <= 0x7E; };
    if (std::all_of(id.begin(), id.end(), plain)) return std::string(id);
    std::string out = " ";
    for (unsigned char c : id) {
        if (plain(c) && c != '%') {
            out += static_cast<char>(c);
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
    }
    return out;
}

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    std::string hex;
    char buf[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", digest[i]);
        hex += buf;
    }
    return hex;
}

namespace {

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// The mechanisms the server's CAPA lists on its SASL line, upper case.
std::vector<std::string> saslMechanisms(Pop3Connection& c) {
    std::vector<std::string> out;
    if (!c.exchange("CAPA").ok) return out;
    ReplyBuffer listing;
    c.readMultiline(listing);
    std::string_view rest = listing.view();
    while (!rest.empty()) {
        std::size_t end = rest.find("\r\n");
        auto w = words(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        if (w.empty() || w[0] != "SASL") continue;
        for (std::size_t i = 1; i < w.size(); ++i) {
            std::string m(w[i]);
            for (char& ch : m) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            out.push_back(m);
        }
    }
    return out;
}

}  // namespace

void bearerLogin(Pop3Connection& c, const std::string& user, const std::string& token) {
    if (!c.secure()) c.markBroken("TLS のない接続ではトークンを送りません"_cp + passwordNotSent());
    c.setSecret(token);
    auto mechanisms = saslMechanisms(c);
    bool bearer =
        std::find(mechanisms.begin(), mechanisms.end(), "OAUTHBEARER") != mechanisms.end();
    std::string response;
    if (bearer) {
        // The authorization identity escapes ',' and '=' (RFC 5801); host and port as connected.
        std::string gs2user;
        for (char ch : user) gs2user += ch == ',' ? "=2C" : ch == '=' ? "=3D" : std::string(1, ch);
        const std::string& server = c.server();
        std::size_t colon = server.rfind(':');
        std::string host = server.substr(0, colon), port = server.substr(colon + 1);
        if (host.size() > 1 && host.front() == '[') host = host.substr(1, host.size() - 2);
        response = "n,a=" + gs2user + ",\x01host=" + host + "\x01port=" + port +
                   "\x01"
                   "auth=Bearer " +
                   token + "\x01\x01";
    } else {
        response = "user=" + user +
                   "\x01"
                   "auth=Bearer " +
                   token + "\x01\x01";
    }
    Pop3Reply reply = c.saslExchange(bearer ? "AUTH OAUTHBEARER" : "AUTH XOAUTH2");
    if (reply.more) reply = c.saslExchange(base64(response));
    // A refusal comes as a challenge with the error first; the client answers it to hear -ERR.
    if (reply.more) reply = c.saslExchange(bearer ? "AQ==" : "");
    if (reply.more) c.markBroken("AUTH が終わりません"_cp);
    if (!reply.ok) throw MailError(c.refusal(reply).what(), loginRefusalCode(reply.text));
}

void loadListing(Session& s, const char* command, Listing& listing) {
    if (listing.loaded) return;
    if (listing.refused) throw MailError(listing.refusal, kMailLibRefused);
    Pop3Reply reply = s.connection.exchange(command);
    if (!reply.ok) {
        listing.refused = true;
        listing.refusal = s.connection.refusal(reply).what();
        throw MailError(listing.refusal, kMailLibRefused);
    }
    ReplyBuffer data;
    s.connection.readMultiline(data);
    std::string_view text = data.view();
    std::size_t start = 0;
    while (start < text.size()) {
        // A line is cut at its CR LF only: a lone CR stays inside (part of an id).
        std::size_t end = text.find("\r\n", start);
        auto w = words(text.substr(start, end - start));
        start = end + 2;
        long long n = w.size() >= 2 ? toNumber(w[0]) : -1;
        if (n >= 1 && n <= INT_MAX) listing.entries[static_cast<int>(n)] = std::string(w[1]);
    }
    listing.loaded = true;
}

long long listedSize(Session& s, int number) {
    try {
        loadListing(s, "LIST", s.sizes);
    } catch (const MailError& e) {
        if (e.code() != kMailLibRefused) throw;
        return -1;
    }
    auto it = s.sizes.entries.find(number);
    return it == s.sizes.entries.end() ? -1 : toNumber(it->second);
}

long long checkAnnouncedSize(Session& s, int number) {
    long long size = listedSize(s, number);
    if (size >= 0 && static_cast<unsigned long long>(size) > pop3Limits().maxMessageBytes)
        s.refuse("メッセージ "_cp + std::to_string(number) + " は大きすぎます ("_cp +
                     s.sizes.entries[number].substr(0, 40) + " バイト)"_cp,
                 kMailLibRefused);
    return size;
}

}  // namespace korv::mail
