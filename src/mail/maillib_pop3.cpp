// The POP3 functions of the mail library: a table of open sessions behind small integer handles.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <vector>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/mime_message.h"
#include "mail/pop3_connection.h"
#include "mail/read_ahead.h"
#include "platform/codepage.h"

namespace korv::mail {
namespace {

struct Session {
    Pop3Connection connection;
    int count = -1;  // from STAT after the login; -1 before
    bool uidlLoaded = false;
    std::map<int, std::string> uidls;  // message number -> unique id
    bool listLoaded = false;
    std::map<int, long long> sizes;  // message number -> size in octets (LIST)
    // What GetMailSize handed out: the caller's body buffer for that message is this large.
    std::map<int, int> reportedSizes;
    bool topRefused = false;  // the server answered TOP with -ERR: the header comes by RETR
};

std::map<int, std::unique_ptr<Session>>& sessions() {
    static std::map<int, std::unique_ptr<Session>> table;
    return table;
}

Session* find(int handle) {
    auto it = sessions().find(handle);
    return it == sessions().end() ? nullptr : it->second.get();
}

int newHandle() {
    int h = 1;
    while (sessions().count(h)) ++h;
    return h;
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

// Words of a listing line, however many blanks stand between them.
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

long long toNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 15) return -1;
    long long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

void fail(const std::string& text) { setLastError(text); }

const std::string& noConnection() {
    static const std::string text = "POP3 の接続がありません"_cp;
    return text;
}

// Null when the handle or the number is unknown (error text set).
Session* sessionFor(int handle, int number) {
    Session* s = find(handle);
    if (!s) {
        fail(noConnection());
        return nullptr;
    }
    if (number < 1 || number > s->count) {
        fail("POP3サーバ "_cp + s->connection.server() + ": " + "メッセージ番号 "_cp +
             std::to_string(number) + " はありません"_cp);
        return nullptr;
    }
    return s;
}

// "n value" lines of a UIDL or LIST listing.
bool loadListing(Session* s, const char* command, std::map<int, std::string>& into) {
    std::string reply, error, data;
    if (!s->connection.command(command, reply, error) ||
        !s->connection.readMultiline(data, error)) {
        fail(error);
        return false;
    }
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find("\r\n", start);
        auto w = words(std::string_view(data).substr(start, end - start));
        start = end + 2;
        long long n = w.size() >= 2 ? toNumber(w[0]) : -1;
        if (n >= 1 && n <= INT_MAX) into[static_cast<int>(n)] = std::string(w[1]);
    }
    return true;
}

// Size from the LIST listing; -1 when unknown (error text set).
long long listedSize(Session* s, int number) {
    if (!s->listLoaded) {
        std::map<int, std::string> listing;
        if (!loadListing(s, "LIST", listing)) return -1;
        for (const auto& [n, size] : listing) s->sizes[n] = toNumber(size);
        s->listLoaded = true;
    }
    auto it = s->sizes.find(number);
    if (it == s->sizes.end() || it->second < 0) {
        fail("POP3サーバ "_cp + s->connection.server() + ": " + "メッセージ "_cp +
             std::to_string(number) + " の大きさがわかりません"_cp);
        return -1;
    }
    return it->second;
}

void clearTexts(char* subject, char* date, char* from, char* header) {
    clearOut(subject);
    clearOut(date);
    clearOut(from);
    clearOut(header);
}

void copyTexts(const MessageTexts& t, char* subject, char* date, char* from, char* header) {
    copyOut(subject, kMailTextSize, t.subject);
    copyOut(date, kMailTextSize, t.date);
    copyOut(from, kMailTextSize, t.from);
    copyOut(header, kMailTextSize, t.header);
}

// The library answers with result codes and texts; nothing thrown inside may leave it.
template <typename F>
int guarded(F&& body, int failure = -1) {
    try {
        return body();
    } catch (const std::exception& e) {
        fail(e.what());
    } catch (...) {
        fail("POP3 の処理に失敗しました"_cp);
    }
    return failure;
}

// A server that echoes what it was sent must not put the password into an error text.
std::string withoutSecret(std::string text, const std::string& secret) {
    if (secret.empty()) return text;
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 3))
        text.replace(at, secret.size(), "***");
    return text;
}

// A name from the settings for an error text: control bytes become '?', a long one is cut.
std::string printable(const std::string& text) {
    std::string out = text.substr(0, 300);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

}  // namespace

int MailLibPop3Connect(const char* server) {
    return guarded([&] {
        std::string name = server ? server : "";
        Pop3Address address;
        if (!parsePop3Address(name, address)) {
            fail("POP3サーバ名が正しくありません: \""_cp + printable(name) + "\"");
            return -1;
        }
        auto session = std::make_unique<Session>();
        std::string error;
        if (!session->connection.open(address, error)) {
            fail(error);
            return -1;
        }
        int handle = newHandle();
        sessions()[handle] = std::move(session);
        return handle;
    });
}

int MailLibPop3Authenticate(int handle, const char* user, const char* password, int apopFlag) {
    std::string p = password ? password : "";
    return guarded([&] {
        Session* s = find(handle);
        if (!s) {
            fail(noConnection());
            return -1;
        }
        std::string u = user ? user : "";
        const std::string& server = s->connection.server();
        if (hasLineBreak(u) || hasLineBreak(p)) {
            fail("POP3サーバ "_cp + server + ": " +
                 "ユーザー名かパスワードに改行が含まれています"_cp);
            return -1;
        }
        std::string reply, error;
        auto refused = [&](int code) {
            fail(withoutSecret(error, p));
            return code;
        };
        if (apopFlag) {
            const std::string& g = s->connection.greeting();
            std::size_t open = g.find('<');
            std::size_t close = open == std::string::npos ? open : g.find('>', open);
            if (close == std::string::npos) {
                fail("POP3サーバ "_cp + server + ": " + "APOP に対応していません"_cp);
                return -2;
            }
            std::string digest = md5Hex(g.substr(open, close - open + 1) + p);
            if (!s->connection.command("APOP " + u + " " + digest, reply, error))
                return refused(-3);
        } else {
            // Wait for USER's reply before PASS: some servers drop pipelined logins.
            if (!s->connection.command("USER " + u, reply, error)) return refused(-3);
            if (!s->connection.command("PASS " + p, reply, error)) return refused(-3);
        }
        if (!s->connection.command("STAT", reply, error)) return refused(-4);
        auto w = words(reply);
        long long count = w.empty() ? -1 : toNumber(w[0]);
        if (count < 0 || count > INT_MAX) {
            error = "POP3サーバ "_cp + server + ": " + "STAT の応答が正しくありません: "_cp +
                    serverText(reply);
            return refused(-4);
        }
        s->count = static_cast<int>(count);
        s->uidlLoaded = s->listLoaded = false;
        s->uidls.clear();
        s->sizes.clear();
        s->reportedSizes.clear();
        return s->count;
    });
}

int MailLibPop3GetUidl(int handle, int number, char* uidl, int size) {
    clearOut(uidl);
    return guarded([&] {
        Session* s = sessionFor(handle, number);
        if (!s) return -1;
        if (!s->uidlLoaded) s->uidlLoaded = loadListing(s, "UIDL", s->uidls);
        if (!s->uidlLoaded) return -1;
        auto it = s->uidls.find(number);
        if (it == s->uidls.end()) {
            fail("POP3サーバ "_cp + s->connection.server() + ": " + "メッセージ "_cp +
                 std::to_string(number) + " の UIDL がありません"_cp);
            return -1;
        }
        copyOut(uidl, size, it->second);
        return 0;
    });
}

int MailLibPop3GetMailSize(int handle, int number) {
    return guarded([&] {
        Session* s = sessionFor(handle, number);
        if (!s) return -1;
        long long size = listedSize(s, number);
        if (size < 0) return -1;
        int reported = static_cast<int>(std::min<long long>(size, INT_MAX));
        s->reportedSizes[number] = reported;
        return reported;
    });
}

int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int) {
    clearTexts(subject, date, from, header);
    return guarded([&] {
        Session* s = sessionFor(handle, number);
        if (!s) return -1;
        std::string reply, error, data;
        std::string n = std::to_string(number);
        bool ok = s->connection.command("TOP " + n + " 0", reply, error);
        if (!ok && !s->connection.broken()) s->topRefused = true;
        ok = ok && s->connection.readMultiline(data, error);
        // TOP is optional for a server; the whole message holds the header as well.
        if (!ok && !s->connection.broken())
            ok = s->connection.command("RETR " + n, reply, error) &&
                 s->connection.readMultiline(data, error);
        if (!ok) {
            fail(error);
            return -1;
        }
        copyTexts(decodeHeaderTexts(data), subject, date, from, header);
        return 0;
    });
}

int MailLibPop3GetMail(int handle, int number, char* subject, char* date, char* from, char* header,
                       char* body, const char* attachmentFolder, char* names) {
    clearTexts(subject, date, from, header);
    clearOut(names);
    return guarded([&] {
        Session* s = sessionFor(handle, number);
        // The body buffer is as large as GetMailSize said for this message; without that
        // report nothing is known about it, and nothing is written into it.
        int capacity = 0;
        if (s) {
            auto it = s->reportedSizes.find(number);
            if (it != s->reportedSizes.end()) capacity = it->second;
        }
        if (body && capacity > 0) body[0] = '\0';
        if (!s) return -1;
        long long expected = listedSize(s, number);
        if (expected < 0 && s->connection.broken()) return -1;
        std::string reply, error, data;
        if (!s->connection.command("RETR " + std::to_string(number), reply, error) ||
            !s->connection.readMultiline(data, error,
                                         expected > 0 ? static_cast<std::size_t>(expected) : 0)) {
            fail(error);
            return -1;
        }
        DecodedMessage m = decodeMessage(data, attachmentFolder ? attachmentFolder : "");
        copyTexts(m.texts, subject, date, from, header);
        copyOut(body, capacity, m.body);
        copyOut(names, kMailTextSize, formatNamesList(m.attachmentNames));
        if (m.attachmentsFailed) {
            fail(m.error);
            return -5;
        }
        return 0;
    });
}

int MailLibPop3DeleteMail(int handle, int number) {
    return guarded([&] {
        Session* s = sessionFor(handle, number);
        if (!s) return -1;
        std::string reply, error;
        if (!s->connection.command("DELE " + std::to_string(number), reply, error)) {
            fail(error);
            return -1;
        }
        return 0;
    });
}

int MailLibPop3Close(int handle) {
    auto it = sessions().find(handle);
    if (it == sessions().end()) return 0;
    // The entry goes whatever QUIT meets; a failed QUIT changes nothing for the caller.
    std::unique_ptr<Session> session = std::move(it->second);
    sessions().erase(it);
    if (!session->connection.broken()) {
        std::string reply, error;
        session->connection.command("QUIT", reply, error);
    }
    session->connection.close();
    return 0;
}

void closeAllPop3Sessions() {
    while (!sessions().empty()) MailLibPop3Close(sessions().begin()->first);
}

void Pop3ReadAhead(int handle, int number) { Pop3ReadAhead(handle, std::vector<int>{number}); }

void Pop3ReadAhead(int handle, const std::vector<int>& numbers) {
    Session* s = find(handle);
    if (!s || s->connection.broken()) return;
    // A hint leaves the error text alone.
    std::string lastErrorBefore = lastError();
    // The size listing comes first: asked for later, between the two, it would drop them.
    auto known = std::find_if(numbers.begin(), numbers.end(),
                              [&](int number) { return number >= 1 && number <= s->count; });
    if (known == numbers.end()) return;
    bool sized = s->listLoaded || listedSize(s, *known) >= 0;
    setLastError(lastErrorBefore);
    if (!sized) return;
    std::vector<std::string> lines;
    for (int number : numbers) {
        if (number < 1 || number > s->count) continue;
        std::string n = std::to_string(number);
        if (s->connection.isAhead("RETR " + n)) continue;
        // The status call asks TOP first, then RETR when TOP is refused; the fetch asks RETR.
        lines.push_back("TOP " + n + " 0");
        lines.push_back("RETR " + n);
        if (s->topRefused) lines.push_back("RETR " + n);
    }
    std::string error;
    if (!lines.empty()) s->connection.sendAhead(lines, true, error);
}

int MailLibGetMessage(int, char* text, int size) {
    copyOut(text, size, lastError());
    return 0;
}

}  // namespace korv::mail
