// The POP3 functions of the mail library: a table of open sessions behind small integer handles.
#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/pop3_reading.h"
#include "mail/pop3_session.h"
#include "mail/read_ahead.h"
#include "mail/security.h"
#include "platform/codepage.h"
#include "platform/text.h"

namespace korv::mail {
namespace {

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

// A name from the settings for an error text: control bytes become '?', a long one is cut.
std::string printable(const std::string& text) {
    std::string out = text.substr(0, 300);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// A login command; a refusal is told apart by its response code.
void loginStep(Session& s, const std::string& line) {
    Pop3Reply reply = s.connection.exchange(line);
    if (!reply.ok)
        throw MailError(s.connection.refusal(reply).what(), loginRefusalCode(reply.text));
}

// LOGIN-DELAY n [USER]: USER says the figure after the login is the user's own.
int loginDelayOf(const std::vector<std::string>& capabilities, bool& perUser) {
    auto args = findCapability(capabilities, "LOGIN-DELAY");
    perUser = args && args->size() > 1 && equalsIgnoringCase((*args)[1], "USER");
    if (!args || args->empty()) return 0;
    long long n = toNumber((*args)[0]);
    // A day at most: a server's figure must not stop the polls for ever.
    return n < 0 ? 0 : static_cast<int>(std::min<long long>(n, 86400));
}

// Forgets what the session knew of an earlier login and asks for what the login needs first;
// perUser: the server's pause between logins is to be asked again after it.
void beginLogin(Session& s, bool& perUser) {
    s.count = -1;
    s.uidls = Listing{};
    s.sizes = Listing{};
    s.reportedSizes.clear();
    s.kept.reset();
    s.loginDelay = 0;
    perUser = false;
    if (!s.extensions) return;
    const auto& capabilities = s.connection.capabilities();
    // Without it a server may hand out a notice instead of a message with raw UTF-8 in its
    // header. A refusal leaves the session as it was.
    if (findCapability(capabilities, "UTF8")) s.connection.exchange("UTF8");
    s.loginDelay = loginDelayOf(capabilities, perUser);
}

// The message count from STAT after a login.
int countAfterLogin(Session& s, const std::string& secret, bool delayPerUser) {
    std::string reply = s.connection.command("STAT");
    auto w = words(reply);
    long long count = w.empty() ? -1 : toNumber(w[0]);
    if (count < 0)
        s.connection.markBroken("STAT の応答が正しくありません: "_cp + serverText(reply, secret));
    // The listings say which numbers exist; a count beyond them costs nothing.
    s.count = static_cast<int>(std::min<long long>(count, INT_MAX));
    if (delayPerUser) {
        const auto& after = s.connection.capabilities(true);
        bool again = false;
        if (findCapability(after, "LOGIN-DELAY")) s.loginDelay = loginDelayOf(after, again);
    }
    return s.count;
}

MessageTexts readHeader(Session& s, int number) {
    checkAnnouncedSize(s, number);
    ReplyBuffer data;
    std::string n = std::to_string(number);
    // TOP is optional for a server; the whole message holds the header as well.
    if (!s.connection.exchange("TOP " + n + " 0").ok) {
        s.topRefused = true;
        s.connection.command("RETR " + n);
    }
    // Only the header is kept, also from a server that sends more.
    s.connection.readMultiline(data, 0, Pop3Keep::Header);
    return decodeHeaderTexts(data.view());
}

// The message decoded: the one kept from an earlier call, else fetched now and kept.
const DecodedMessage& readMessage(Session& s, int number, const char* attachmentFolder) {
    if (!s.kept || s.kept->number != number) {
        s.kept.reset();
        long long size = checkAnnouncedSize(s, number);
        ReplyBuffer data;
        s.connection.command("RETR " + std::to_string(number));
        s.connection.readMultiline(data, size > 0 ? static_cast<std::size_t>(size) : 0);
        DecodedMessage m = decodeMessage(data.view(), attachmentFolder ? attachmentFolder : "");
        data.release();
        s.kept = KeptMessage{number, std::move(m)};
    }
    return s.kept->message;
}

}  // namespace

MessageTexts Pop3ReadHeader(int handle, int number) {
    return readHeader(usableSession(handle, number), number);
}

DecodedMessage Pop3ReadMessage(int handle, int number, const std::string& attachmentFolder) {
    Session& s = usableSession(handle, number);
    readMessage(s, number, attachmentFolder.c_str());
    DecodedMessage m = std::move(s.kept->message);
    s.kept.reset();
    if (m.attachmentError) throw *m.attachmentError;
    return m;
}

// Plain as the server speaks it, as it always was; the program's own connections choose their
// protection from the settings through Pop3Connect.
int MailLibPop3Connect(const char* server) {
    return Pop3Connect(server, ConnectOptions{Security::None, {}, false});
}

int Pop3Connect(const char* server, const ConnectOptions& options, int* failure) {
    int handle = atBoundary([&] {
        std::string name = server ? server : "";
        Pop3Address address;
        if (!parsePop3Address(name, address))
            throw MailError("POP3サーバ名が正しくありません: \""_cp + printable(name) + "\"",
                            kMailLibSettings);
        auto session = std::make_unique<Session>();
        session->extensions = options.extensions;
        session->connection.open(address, options);
        int h = newSessionHandle();
        pop3Sessions()[h] = std::move(session);
        return h;
    });
    if (failure) *failure = handle < 0 ? handle : 0;
    // No connection is one code, whatever failed.
    return handle < 0 ? -1 : handle;
}

int MailLibPop3Authenticate(int handle, const char* user, const char* password, int apopFlag) {
    std::string p = password ? password : "";
    return atBoundary([&] {
        Session& s = usableSession(handle);
        std::string u = user ? user : "";
        if (hasLineBreak(u) || hasLineBreak(p))
            s.refuse("ユーザー名かパスワードに改行が含まれています"_cp, kMailLibRefused);
        // From now on no server text in an error shows the password.
        s.connection.setSecret(p);
        bool delayPerUser = false;
        beginLogin(s, delayPerUser);
        if (apopFlag) {
            const std::string& g = s.connection.greeting();
            std::size_t open = g.find('<');
            std::size_t close = open == std::string::npos ? open : g.find('>', open);
            if (close == std::string::npos) s.refuse("APOP に対応していません"_cp, kMailLibRefused);
            loginStep(s, "APOP " + u + " " + md5Hex(g.substr(open, close - open + 1) + p));
        } else {
            // Wait for USER's reply before PASS: some servers drop pipelined logins.
            loginStep(s, "USER " + u);
            loginStep(s, "PASS " + p);
        }
        return countAfterLogin(s, p, delayPerUser);
    });
}

int Pop3AuthenticateBearer(int handle, const char* user, const char* token) {
    std::string t = token ? token : "";
    return atBoundary([&] {
        Session& s = usableSession(handle);
        std::string u = user ? user : "";
        if (hasLineBreak(u) || hasLineBreak(t) || u.find('\x01') != std::string::npos ||
            t.find('\x01') != std::string::npos)
            s.refuse("ユーザー名かトークンに改行が含まれています"_cp, kMailLibRefused);
        bool delayPerUser = false;
        beginLogin(s, delayPerUser);
        bearerLogin(s.connection, u, t);
        return countAfterLogin(s, t, delayPerUser);
    });
}

int MailLibPop3GetUidl(int handle, int number, char* uidl, int size) {
    clearOut(uidl);
    return atBoundary([&] {
        Session& s = usableSession(handle);
        if (number < 1)
            s.refuse("メッセージ番号 "_cp + std::to_string(number) + " はありません"_cp,
                     kMailLibFailed);
        auto listEnd = [&] {
            s.refuse("メッセージ "_cp + std::to_string(number) + " 以降は一覧にありません"_cp,
                     kMailLibListEnd);
        };
        if (s.count < 0) s.refuse("ログインしていません"_cp, kMailLibFailed);
        if (number > s.count) listEnd();
        loadListing(s, "UIDL", s.uidls);
        auto it = s.uidls.entries.lower_bound(number);
        if (it == s.uidls.entries.end()) listEnd();
        if (it->first != number)
            s.refuse("メッセージ "_cp + std::to_string(number) + " の UIDL がありません"_cp,
                     kMailLibFailed);
        copyOut(uidl, size, storedId(it->second));
        return 0;
    });
}

int MailLibPop3GetMailSize(int handle, int number) {
    return atBoundary([&] {
        Session& s = usableSession(handle, number);
        if (s.kept && s.kept->number == number) {
            // The room the kept body needs, with its zero.
            int room =
                static_cast<int>(std::min<std::size_t>(s.kept->message.body.size() + 1, INT_MAX));
            s.reportedSizes[number] = room;
            return room;
        }
        long long size = listedSize(s, number);
        if (size < 0 && s.sizes.refused) throw MailError(s.sizes.refusal, kMailLibFailed);
        if (size < 0)
            s.refuse("メッセージ "_cp + std::to_string(number) + " の大きさがわかりません"_cp,
                     kMailLibFailed);
        int reported = static_cast<int>(std::min<long long>(size, kMailBodyHintLimit));
        s.reportedSizes[number] = reported;
        return reported;
    });
}

int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int) {
    clearTexts(subject, date, from, header);
    return atBoundary([&] {
        copyTexts(readHeader(usableSession(handle, number), number), subject, date, from, header);
        return 0;
    });
}

int MailLibPop3GetMail(int handle, int number, char* subject, char* date, char* from, char* header,
                       char* body, const char* attachmentFolder, char* names) {
    clearTexts(subject, date, from, header);
    clearOut(names);
    return atBoundary([&] {
        Session* found = findSession(handle);
        // The body buffer is as large as GetMailSize said for this message; without that
        // report it holds nothing, and nothing is written into it.
        int capacity = 0;
        if (found) {
            auto it = found->reportedSizes.find(number);
            if (it != found->reportedSizes.end()) capacity = it->second;
        }
        if (body && capacity > 0) body[0] = '\0';
        Session& s = usableSession(handle, number);
        const DecodedMessage& m = readMessage(s, number, attachmentFolder);
        copyTexts(m.texts, subject, date, from, header);
        copyOut(body, capacity, m.body);
        copyOut(names, kMailTextSize, formatNamesList(m.attachmentNames));
        if (m.attachmentError) {
            // Nothing to hand out again: the caller drops the message.
            MailError error = *m.attachmentError;
            s.kept.reset();
            throw error;
        }
        if (m.body.size() + 1 > static_cast<std::size_t>(capacity))
            // Kept for the caller to come back with a larger buffer.
            s.refuse("メッセージ "_cp + std::to_string(number) +
                         " の本文がバッファに入りません ("_cp + std::to_string(m.body.size() + 1) +
                         " バイト必要)"_cp,
                     kMailLibBodyTooLarge);
        s.kept.reset();
        return 0;
    });
}

int MailLibPop3DeleteMail(int handle, int number) {
    return atBoundary([&] {
        Session& s = usableSession(handle, number);
        if (s.kept && s.kept->number == number) s.kept.reset();
        s.connection.command("DELE " + std::to_string(number));
        return 0;
    });
}

int MailLibPop3Close(int handle) {
    auto it = pop3Sessions().find(handle);
    if (it == pop3Sessions().end()) return 0;
    // The entry goes whatever QUIT meets; a failed QUIT changes nothing for the caller.
    std::unique_ptr<Session> session = std::move(it->second);
    pop3Sessions().erase(it);
    session->connection.quit();
    session->connection.close();
    return 0;
}

void closeAllPop3Sessions() {
    while (!pop3Sessions().empty()) MailLibPop3Close(pop3Sessions().begin()->first);
}

int Pop3LoginDelay(int handle) {
    Session* s = findSession(handle);
    return s ? s->loginDelay : 0;
}

void Pop3ReadAhead(int handle, int number) { Pop3ReadAhead(handle, std::vector<int>{number}); }

// A hint: whatever goes wrong here shows in the calls that follow, never in the error text.
void Pop3ReadAhead(int handle, const std::vector<int>& numbers) {
    Session* s = findSession(handle);
    if (!s || s->connection.broken()) return;
    if (std::none_of(numbers.begin(), numbers.end(),
                     [&](int number) { return number >= 1 && number <= s->count; }))
        return;
    try {
        // The size listing comes first: asked for later, between the two, it would drop them.
        listedSize(*s, 1);
        std::vector<std::string> lines;
        for (int number : numbers) {
            if (number < 1 || number > s->count) continue;
            if (s->kept && s->kept->number == number) continue;
            // A message the fetch refuses is never asked for: its reply would have to be read.
            long long size = listedSize(*s, number);
            if (size >= 0 && static_cast<unsigned long long>(size) > pop3Limits().maxMessageBytes)
                continue;
            std::string n = std::to_string(number);
            if (s->connection.isAhead("RETR " + n)) continue;
            // The status call asks TOP first, then RETR when TOP is refused; the fetch asks RETR.
            lines.push_back("TOP " + n + " 0");
            lines.push_back("RETR " + n);
            if (s->topRefused) lines.push_back("RETR " + n);
        }
        if (!lines.empty()) s->connection.sendAhead(lines, true);
    } catch (const MailError&) {
    }
}

int MailLibGetMessage(int, char* text, int size) {
    copyOut(text, size, lastError());
    return 0;
}

}  // namespace korv::mail
