// The POP3 calls of the mail library: a table of open mailboxes behind small integer handles,
// with what the C face adds (the body buffer's size, a message kept for a second call).
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/pop3/pop3_mailbox.h"
#include "mail/security.h"
#include "platform/codepage.h"

namespace korv::mail {
namespace {

// A fetched message whose body did not fit the caller's buffer, handed out again on request.
struct KeptMessage {
    int number = 0;
    DecodedMessage message;
};

struct Session {
    std::unique_ptr<Pop3Mailbox> mailbox;
    // What GetMailSize handed out: the caller's body buffer for that message is this large.
    std::map<int, int> reportedSizes;
    std::optional<KeptMessage> kept;
};

std::map<int, Session>& sessions() {
    static std::map<int, Session> table;
    return table;
}

Session* findSession(int handle) {
    auto it = sessions().find(handle);
    return it == sessions().end() ? nullptr : &it->second;
}

// The session of a handle that can still talk to its server.
Session& usableSession(int handle) {
    Session* s = findSession(handle);
    if (!s) throw MailError("POP3 の接続がありません"_cp, MailError::Kind::Failed);
    s->mailbox->checkUsable();
    return *s;
}

// As usableSession, and the number must be one of the mailbox's.
Session& usableSession(int handle, int number) {
    Session& s = usableSession(handle);
    s.mailbox->checkNumber(number);
    return s;
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

// The message decoded: the one kept from an earlier call, else fetched now and kept.
const DecodedMessage& readMessage(Session& s, int number, const char* attachmentFolder) {
    if (!s.kept || s.kept->number != number) {
        s.kept.reset();
        DecodedMessage m =
            s.mailbox->fetch(number, attachmentFolder ? attachmentFolder : std::string());
        s.kept = KeptMessage{number, std::move(m)};
    }
    return s.kept->message;
}

}  // namespace

// Plain as the server speaks it, as it always was; the program's own mailboxes choose their
// protection from the settings.
int MailLibPop3Connect(const char* server) {
    int handle = atBoundary([&] {
        auto mailbox =
            Pop3Mailbox::connect(server ? server : "", ConnectOptions{Security::None, {}, false});
        int h = 1;
        while (sessions().count(h)) ++h;
        sessions()[h].mailbox = std::move(mailbox);
        return h;
    });
    // No connection is one code, whatever failed.
    return handle < 0 ? -1 : handle;
}

int MailLibPop3Authenticate(int handle, const char* user, const char* password, int apopFlag) {
    return atBoundary([&] {
        Session& s = usableSession(handle);
        s.reportedSizes.clear();
        s.kept.reset();
        Credentials credentials;
        credentials.method = apopFlag ? Credentials::Method::Apop : Credentials::Method::Password;
        credentials.user = user ? user : "";
        credentials.password = password ? password : "";
        return s.mailbox->login(credentials);
    });
}

int MailLibPop3GetUidl(int handle, int number, char* uidl, int size) {
    clearOut(uidl);
    return atBoundary([&] {
        Pop3Mailbox& m = *usableSession(handle).mailbox;
        if (number < 1)
            m.refuse("メッセージ番号 "_cp + std::to_string(number) + " はありません"_cp,
                     MailError::Kind::Failed);
        auto listEnd = [&] {
            m.refuse("メッセージ "_cp + std::to_string(number) + " 以降は一覧にありません"_cp,
                     MailError::Kind::ListEnd);
        };
        if (m.count() >= 0 && number > m.count()) listEnd();
        const auto& listing = m.idListing();
        auto it = listing.lower_bound(number);
        if (it == listing.end()) listEnd();
        if (it->first != number)
            m.refuse("メッセージ "_cp + std::to_string(number) + " の UIDL がありません"_cp,
                     MailError::Kind::Failed);
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
        long long size = s.mailbox->size(number);
        if (size < 0 && s.mailbox->sizeListingRefusal())
            throw MailError(*s.mailbox->sizeListingRefusal(), MailError::Kind::Failed);
        if (size < 0)
            s.mailbox->refuse(
                "メッセージ "_cp + std::to_string(number) + " の大きさがわかりません"_cp,
                MailError::Kind::Failed);
        int reported = static_cast<int>(std::min<long long>(size, kMailBodyHintLimit));
        s.reportedSizes[number] = reported;
        return reported;
    });
}

int MailLibPop3GetMailStatus(int handle, int number, char* subject, char* date, char* from,
                             char* header, int) {
    clearTexts(subject, date, from, header);
    return atBoundary([&] {
        copyTexts(usableSession(handle, number).mailbox->header(number), subject, date, from,
                  header);
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
            s.mailbox->refuse("メッセージ "_cp + std::to_string(number) +
                                  " の本文がバッファに入りません ("_cp +
                                  std::to_string(m.body.size() + 1) + " バイト必要)"_cp,
                              MailError::Kind::BodyTooLarge);
        s.kept.reset();
        return 0;
    });
}

int MailLibPop3DeleteMail(int handle, int number) {
    return atBoundary([&] {
        Session& s = usableSession(handle, number);
        if (s.kept && s.kept->number == number) s.kept.reset();
        s.mailbox->remove(number);
        return 0;
    });
}

int MailLibPop3Close(int handle) {
    auto it = sessions().find(handle);
    if (it == sessions().end()) return 0;
    // The entry goes whatever QUIT meets; a failed QUIT changes nothing for the caller.
    std::unique_ptr<Pop3Mailbox> mailbox = std::move(it->second.mailbox);
    sessions().erase(it);
    mailbox->close();
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
