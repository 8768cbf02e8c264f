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
