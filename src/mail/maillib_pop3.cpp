// The POP3 functions of the mail library: a table of open sessions behind small integer handles.
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/mime_message.h"
#include "mail/pop3_connection.h"
#include "platform/codepage.h"

namespace korv::mail {
namespace {

struct Session {
    Pop3Connection connection;
    std::string server;
    int count = -1;  // from STAT after the login
    bool uidlLoaded = false;
    std::map<int, std::string> uidls;  // message number → unique id
    bool listLoaded = false;
    std::map<int, long long> sizes;  // message number → size in octets
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
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool validNumber(Session* s, int number) { return s && number >= 1 && number <= s->count; }

bool loadListing(Session* s, const char* command, std::map<int, std::string>* ids,
                 std::map<int, long long>* sizes) {
    std::string reply, error, data;
    if (!s->connection.command(command, reply, error) ||
        !s->connection.readMultiline(data, error)) {
        setLastError(error);
        return false;
    }
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find("\r\n", start);
        auto w = words(data.substr(start, end - start));
        start = end + 2;
        if (w.size() < 2) continue;
        int n = std::atoi(w[0].c_str());
        if (ids) (*ids)[n] = w[1];
        if (sizes) (*sizes)[n] = std::atoll(w[1].c_str());
    }
    return true;
}

long long messageSize(Session* s, int number) {
    if (!s->listLoaded) s->listLoaded = loadListing(s, "LIST", nullptr, &s->sizes);
    auto it = s->sizes.find(number);
    return it == s->sizes.end() ? 0 : it->second;
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

}  // namespace

int MailLibPop3Connect(const char* server) {
    std::string name = server ? server : "";
    Pop3Address address;
    if (!parsePop3Address(name, address)) {
        setLastError("POP3 サーバー名が正しくありません: "_cp + name);
        return -1;
    }
    auto session = std::make_unique<Session>();
    session->server = name;
    std::string error;
    if (!session->connection.open(address, error)) {
        setLastError(error);
        return -1;
    }
    int handle = newHandle();
    sessions()[handle] = std::move(session);
    return handle;
}

int MailLibPop3Authenticate(int handle, const char* user, const char* password, int apopFlag) {
    Session* s = find(handle);
    if (!s) {
        setLastError("POP3 の接続がありません"_cp);
        return -1;
    }
    std::string reply, error;
    std::string u = user ? user : "", p = password ? password : "";
    if (apopFlag) {
        const std::string& g = s->connection.greeting();
        std::size_t open = g.find('<'), close = g.find('>', open == std::string::npos ? 0 : open);
        if (open == std::string::npos || close == std::string::npos) {
            setLastError(s->server + ": " + "サーバーは APOP に対応していません"_cp);
            return -2;
        }
        if (!s->connection.command("APOP " + u + " " + md5Hex(g.substr(open, close - open + 1) + p),
                                   reply, error)) {
            setLastError(error);
            return -3;
        }
    } else {
        // USER's reply first: sending both at once stalls on delayed acknowledgements.
        if (!s->connection.command("USER " + u, reply, error)) {
            setLastError(error);
            return -3;
        }
        if (!s->connection.command("PASS " + p, reply, error)) {
            // The server's reply names the failure; our own text never carries the password.
            setLastError(error);
            return -3;
        }
    }
    if (!s->connection.command("STAT", reply, error)) {
        setLastError(error);
        return -4;
    }
    auto w = words(reply);
    s->count = w.empty() ? 0 : std::atoi(w[0].c_str());
    if (s->count < 0) s->count = 0;
    return s->count;
}

int MailLibPop3GetUidl(int handle, int number, char* uidl, int size) {
    clearOut(uidl);
    Session* s = find(handle);
    if (!validNumber(s, number)) {
        setLastError("メッセージ番号が正しくありません"_cp);
        return -1;
    }
    if (!s->uidlLoaded) s->uidlLoaded = loadListing(s, "UIDL", &s->uidls, nullptr);
    auto it = s->uidls.find(number);
    if (it == s->uidls.end()) return -1;
    copyOut(uidl, size, it->second);
    return 0;
}

int MailLibPop3GetMailSize(int handle, int number) {
    Session* s = find(handle);
    if (!validNumber(s, number)) return -1;
    long long size = messageSize(s, number);
    return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
}

int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int) {
    clearTexts(subject, date, from, header);
    Session* s = find(handle);
    if (!validNumber(s, number)) {
        setLastError("メッセージ番号が正しくありません"_cp);
        return -1;
    }
    std::string reply, error, data;
    if (!s->connection.command("TOP " + std::to_string(number) + " 0", reply, error) ||
        !s->connection.readMultiline(data, error)) {
        setLastError(error);
        return -1;
    }
    copyTexts(decodeHeaderTexts(data), subject, date, from, header);
    return 0;
}

int MailLibPop3GetMail(int handle, int number, char* subject, char* date, char* from, char* header,
                       char* body, const char* attachmentFolder, char* names) {
    clearTexts(subject, date, from, header);
    clearOut(names);
    Session* s = find(handle);
    long long capacity = validNumber(s, number) ? messageSize(s, number) : 0;
    if (body && capacity > 0) body[0] = '\0';
    if (!validNumber(s, number)) {
        setLastError("メッセージ番号が正しくありません"_cp);
        return -1;
    }
    std::string reply, error, data;
    if (!s->connection.command("RETR " + std::to_string(number), reply, error) ||
        !s->connection.readMultiline(data, error)) {
        setLastError(error);
        return -1;
    }
    DecodedMessage m = decodeMessage(data, attachmentFolder ? attachmentFolder : "");
    copyTexts(m.texts, subject, date, from, header);
    // The caller sized the body buffer by the size this library reported for the message.
    copyOut(body, static_cast<int>(std::min<long long>(capacity, 0x7FFFFFFF)), m.body);
    copyOut(names, kMailTextSize, formatNamesList(m.attachmentNames));
    if (m.attachmentsFailed) {
        setLastError(m.error);
        return -5;
    }
    return 0;
}

int MailLibPop3DeleteMail(int handle, int number) {
    Session* s = find(handle);
    if (!validNumber(s, number)) return -1;
    std::string reply, error;
    if (!s->connection.command("DELE " + std::to_string(number), reply, error)) {
        setLastError(error);
        return -1;
    }
    return 0;
}

int MailLibPop3Close(int handle) {
    auto it = sessions().find(handle);
    if (it == sessions().end()) return 0;
    std::string reply, error;
    if (!it->second->connection.broken()) it->second->connection.command("QUIT", reply, error);
    sessions().erase(it);
    return 0;
}

void closeAllPop3Sessions() {
    while (!sessions().empty()) MailLibPop3Close(sessions().begin()->first);
}

int MailLibGetMessage(int, char* text, int size) {
    copyOut(text, size, lastError());
    return 0;
}

}  // namespace korv::mail
