// The POP3 functions of the mail library: a table of open sessions behind small integer handles.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/mime_message.h"
#include "mail/pop3_connection.h"
#include "mail/read_ahead.h"
#include "mail/security.h"
#include "platform/codepage.h"

namespace korv::mail {
namespace {

// A listing (UIDL or LIST), asked for once per login.
struct Listing {
    bool loaded = false;
    bool refused = false;
    std::string refusal;                 // the server's -ERR, handed out again
    std::map<int, std::string> entries;  // message number -> second word of its line
};

// A fetched message whose body did not fit the caller's buffer, handed out again on request.
struct KeptMessage {
    int number = 0;
    DecodedMessage message;
};

struct Session {
    Pop3Connection connection;
    int count = -1;  // from STAT after the login; -1 before
    Listing uidls;
    Listing sizes;
    // What GetMailSize handed out: the caller's body buffer for that message is this large.
    std::map<int, int> reportedSizes;
    bool topRefused = false;  // the server answered TOP with -ERR: the header comes by RETR
    std::optional<KeptMessage> kept;
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

// Digits only; a figure beyond what any caller can use stays at LLONG_MAX. -1 when no number.
long long toNumber(std::string_view digits) {
    if (digits.empty()) return -1;
    long long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n > (LLONG_MAX - 9) / 10 ? LLONG_MAX : n * 10 + (c - '0');
    }
    return n;
}

// The id as the program stores it (see MailLibPop3GetUidl).
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

int fail(const std::string& text, int code) {
    setLastError(text);
    return code;
}

const std::string& noConnection() {
    static const std::string text = "POP3 の接続がありません"_cp;
    return text;
}

std::string serverPrefix(Session* s) { return "POP3サーバ "_cp + s->connection.server() + ": "; }

// The session of a handle that can still talk to its server; the failure code otherwise (error
// text set).
int usable(int handle, Session*& s) {
    s = find(handle);
    if (!s) return fail(noConnection(), kMailLibFailed);
    if (s->connection.broken()) return fail(s->connection.brokenError(), kMailLibBroken);
    return 0;
}

// As usable, and the number must be one of the mailbox's.
int usable(int handle, int number, Session*& s) {
    if (int code = usable(handle, s)) return code;
    if (number < 1 || number > s->count)
        return fail(
            serverPrefix(s) + "メッセージ番号 "_cp + std::to_string(number) + " はありません"_cp,
            kMailLibFailed);
    return 0;
}

// The code for a command the server did not carry out.
int notDone(Session* s, const std::string& error) {
    return fail(error, s->connection.broken() ? kMailLibBroken : kMailLibRefused);
}

// "n value" lines of a UIDL or LIST listing, loaded once; 0, kMailLibRefused or kMailLibBroken.
int load(Session* s, const char* command, Listing& listing) {
    if (listing.loaded) return 0;
    if (listing.refused) return fail(listing.refusal, kMailLibRefused);
    std::string reply, error;
    ReplyBuffer data;
    if (!s->connection.command(command, reply, error)) {
        if (s->connection.broken()) return fail(error, kMailLibBroken);
        listing.refused = true;
        listing.refusal = error;
        return fail(error, kMailLibRefused);
    }
    if (!s->connection.readMultiline(data, error)) return fail(error, kMailLibBroken);
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
    return 0;
}

// The size from the LIST listing: -1 when the listing has none for the message (or LIST was
// refused); a failure code of the connection as code.
long long listedSize(Session* s, int number, int& code) {
    code = 0;
    int loaded = load(s, "LIST", s->sizes);
    if (loaded == kMailLibBroken) {
        code = loaded;
        return -1;
    }
    if (loaded != 0) return -1;
    auto it = s->sizes.entries.find(number);
    return it == s->sizes.entries.end() ? -1 : toNumber(it->second);
}

// Before TOP or RETR: 0, or the code that ends the call without asking the server.
int checkAnnouncedSize(Session* s, int number, long long& size) {
    int code = 0;
    size = listedSize(s, number, code);
    if (code != 0) return code;
    if (size >= 0 && static_cast<unsigned long long>(size) > pop3Limits().maxMessageBytes)
        return fail(serverPrefix(s) + "メッセージ "_cp + std::to_string(number) +
                        " は大きすぎます ("_cp + s->sizes.entries[number].substr(0, 40) +
                        " バイト)"_cp,
                    kMailLibRefused);
    return 0;
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
int guarded(F&& body, int failure = kMailLibFailed) {
    try {
        return body();
    } catch (const std::exception& e) {
        setLastError(e.what());
    } catch (...) {
        setLastError("POP3 の処理に失敗しました"_cp);
    }
    return failure;
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

// Plain as the server speaks it, as it always was; the program's own connections choose their
// protection from the settings through Pop3Connect.
int MailLibPop3Connect(const char* server) {
    return Pop3Connect(server, ConnectOptions{Security::None, {}});
}

int Pop3Connect(const char* server, const ConnectOptions& options) {
    return guarded([&] {
        std::string name = server ? server : "";
        Pop3Address address;
        if (!parsePop3Address(name, address)) {
            setLastError("POP3サーバ名が正しくありません: \""_cp + printable(name) + "\"");
            return -1;
        }
        auto session = std::make_unique<Session>();
        std::string error;
        if (!session->connection.open(address, options, error)) {
            setLastError(error);
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
        Session* s = nullptr;
        if (int code = usable(handle, s)) return code;
        std::string u = user ? user : "";
        if (hasLineBreak(u) || hasLineBreak(p))
            return fail(serverPrefix(s) + "ユーザー名かパスワードに改行が含まれています"_cp,
                        kMailLibRefused);
        // From now on no server text in an error shows the password.
        s->connection.setSecret(p);
        s->count = -1;
        s->uidls = Listing{};
        s->sizes = Listing{};
        s->reportedSizes.clear();
        s->kept.reset();
        std::string reply, error;
        if (apopFlag) {
            const std::string& g = s->connection.greeting();
            std::size_t open = g.find('<');
            std::size_t close = open == std::string::npos ? open : g.find('>', open);
            if (close == std::string::npos)
                return fail(serverPrefix(s) + "APOP に対応していません"_cp, kMailLibRefused);
            std::string digest = md5Hex(g.substr(open, close - open + 1) + p);
            if (!s->connection.command("APOP " + u + " " + digest, reply, error))
                return notDone(s, error);
        } else {
            // Wait for USER's reply before PASS: some servers drop pipelined logins.
            if (!s->connection.command("USER " + u, reply, error)) return notDone(s, error);
            if (!s->connection.command("PASS " + p, reply, error)) return notDone(s, error);
        }
        if (!s->connection.command("STAT", reply, error)) return notDone(s, error);
        auto w = words(reply);
        long long count = w.empty() ? -1 : toNumber(w[0]);
        if (count < 0) {
            s->connection.markBroken(error,
                                     "STAT の応答が正しくありません: "_cp + serverText(reply, p));
            return fail(error, kMailLibBroken);
        }
        // The listings say which numbers exist; a count beyond them costs nothing.
        s->count = static_cast<int>(std::min<long long>(count, INT_MAX));
        return s->count;
    });
}

int MailLibPop3GetUidl(int handle, int number, char* uidl, int size) {
    clearOut(uidl);
    return guarded([&] {
        Session* s = nullptr;
        if (int code = usable(handle, s)) return code;
        if (number < 1)
            return fail(serverPrefix(s) + "メッセージ番号 "_cp + std::to_string(number) +
                            " はありません"_cp,
                        kMailLibFailed);
        auto listEnd = [&] {
            return fail(serverPrefix(s) + "メッセージ "_cp + std::to_string(number) +
                            " 以降は一覧にありません"_cp,
                        kMailLibListEnd);
        };
        if (s->count < 0) return fail(serverPrefix(s) + "ログインしていません"_cp, kMailLibFailed);
        if (number > s->count) return listEnd();
        if (int code = load(s, "UIDL", s->uidls)) return code;
        auto it = s->uidls.entries.lower_bound(number);
        if (it == s->uidls.entries.end()) return listEnd();
        if (it->first != number)
            return fail(serverPrefix(s) + "メッセージ "_cp + std::to_string(number) +
                            " の UIDL がありません"_cp,
                        kMailLibFailed);
        copyOut(uidl, size, storedId(it->second));
        return 0;
    });
}

int MailLibPop3GetMailSize(int handle, int number) {
    return guarded([&] {
        Session* s = nullptr;
        if (int code = usable(handle, number, s)) return code;
        if (s->kept && s->kept->number == number) {
            // The room the kept body needs, with its zero.
            int room =
                static_cast<int>(std::min<std::size_t>(s->kept->message.body.size() + 1, INT_MAX));
            s->reportedSizes[number] = room;
            return room;
        }
        int code = 0;
        long long size = listedSize(s, number, code);
        if (code != 0) return code;
        if (size < 0 && s->sizes.refused) return fail(s->sizes.refusal, kMailLibFailed);
        if (size < 0)
            return fail(serverPrefix(s) + "メッセージ "_cp + std::to_string(number) +
                            " の大きさがわかりません"_cp,
                        kMailLibFailed);
        int reported = static_cast<int>(std::min<long long>(size, kMailBodyHintLimit));
        s->reportedSizes[number] = reported;
        return reported;
    });
}

int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int) {
    clearTexts(subject, date, from, header);
    return guarded([&] {
        Session* s = nullptr;
        if (int code = usable(handle, number, s)) return code;
        long long size = 0;
        if (int code = checkAnnouncedSize(s, number, size)) return code;
        std::string reply, error;
        ReplyBuffer data;
        std::string n = std::to_string(number);
        // Only the header is kept, also from a server that sends more.
        if (s->connection.command("TOP " + n + " 0", reply, error)) {
            if (!s->connection.readMultiline(data, error, 0, Pop3Keep::Header))
                return fail(error, kMailLibBroken);
        } else {
            if (s->connection.broken()) return fail(error, kMailLibBroken);
            // TOP is optional for a server; the whole message holds the header as well.
            s->topRefused = true;
            if (!s->connection.command("RETR " + n, reply, error)) return notDone(s, error);
            if (!s->connection.readMultiline(data, error, 0, Pop3Keep::Header))
                return fail(error, kMailLibBroken);
        }
        copyTexts(decodeHeaderTexts(data.view()), subject, date, from, header);
        return 0;
    });
}

int MailLibPop3GetMail(int handle, int number, char* subject, char* date, char* from, char* header,
                       char* body, const char* attachmentFolder, char* names) {
    clearTexts(subject, date, from, header);
    clearOut(names);
    return guarded([&] {
        Session* s = find(handle);
        // The body buffer is as large as GetMailSize said for this message; without that
        // report it holds nothing, and nothing is written into it.
        int capacity = 0;
        if (s) {
            auto it = s->reportedSizes.find(number);
            if (it != s->reportedSizes.end()) capacity = it->second;
        }
        if (body && capacity > 0) body[0] = '\0';
        if (int code = usable(handle, number, s)) return code;
        if (!s->kept || s->kept->number != number) {
            s->kept.reset();
            long long size = 0;
            if (int code = checkAnnouncedSize(s, number, size)) return code;
            std::string reply, error;
            ReplyBuffer data;
            if (!s->connection.command("RETR " + std::to_string(number), reply, error))
                return notDone(s, error);
            if (!s->connection.readMultiline(data, error,
                                             size > 0 ? static_cast<std::size_t>(size) : 0))
                return fail(error, kMailLibBroken);
            DecodedMessage m = decodeMessage(data.view(), attachmentFolder ? attachmentFolder : "");
            data.release();
            s->kept = KeptMessage{number, std::move(m)};
        }
        const DecodedMessage& m = s->kept->message;
        copyTexts(m.texts, subject, date, from, header);
        copyOut(body, capacity, m.body);
        copyOut(names, kMailTextSize, formatNamesList(m.attachmentNames));
        int code = 0;
        if (m.attachmentsFailed) {
            // Nothing to hand out again: the caller drops the message.
            code = fail(m.error, kMailLibAttachmentFailed);
        } else if (m.body.size() + 1 > static_cast<std::size_t>(capacity)) {
            code = fail(serverPrefix(s) + "メッセージ "_cp + std::to_string(number) +
                            " の本文がバッファに入りません ("_cp +
                            std::to_string(m.body.size() + 1) + " バイト必要)"_cp,
                        kMailLibBodyTooLarge);
        }
        // Kept only for the caller to come back with a larger buffer.
        if (code != kMailLibBodyTooLarge) s->kept.reset();
        return code;
    });
}

int MailLibPop3DeleteMail(int handle, int number) {
    return guarded([&] {
        Session* s = nullptr;
        if (int code = usable(handle, number, s)) return code;
        if (s->kept && s->kept->number == number) s->kept.reset();
        std::string reply, error;
        if (!s->connection.command("DELE " + std::to_string(number), reply, error))
            return notDone(s, error);
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
    if (std::none_of(numbers.begin(), numbers.end(),
                     [&](int number) { return number >= 1 && number <= s->count; }))
        return;
    // The size listing comes first: asked for later, between the two, it would drop them.
    int code = 0;
    listedSize(s, 1, code);
    setLastError(lastErrorBefore);
    if (code != 0) return;
    std::vector<std::string> lines;
    for (int number : numbers) {
        if (number < 1 || number > s->count) continue;
        if (s->kept && s->kept->number == number) continue;
        // A message the fetch refuses is never asked for: its reply would have to be read.
        long long size = listedSize(s, number, code);
        if (size >= 0 && static_cast<unsigned long long>(size) > pop3Limits().maxMessageBytes)
            continue;
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
