#include "client/mailbox.h"

#include <cstring>

#include "client/client_core.h"
#include "mail/mail_error.h"
#include "mail/maillib.h"
#include "mail/security.h"
#include "platform/codepage.h"
#include "platform/whole_file.h"
#include "settings/oauth_tokens.h"

namespace korv {
namespace {

using MailBuffer = std::vector<char>;
MailBuffer newMailBuffer() { return MailBuffer(mail::kMailBufferBytes, '\0'); }
std::string textOf(const MailBuffer& buffer) { return std::string(buffer.data()); }

std::string lastMailError() {
    MailBuffer text = newMailBuffer();
    mail::MailLibGetMessage(0, text.data(), mail::kMailTextSize);
    return textOf(text);
}

// A connection to the settings' server, closed when the command ends; handle is -1 when the
// server cannot be reached.
struct BrowserConnection {
    explicit BrowserConnection(const Settings& settings)
        : handle(mail::Pop3Connect(
              settings.Pop3Name.c_str(),
              mail::connectOptions(settings.Pop3Security, settings.CaFile, "Pop3Security"))) {}
    ~BrowserConnection() { close(); }
    BrowserConnection(const BrowserConnection&) = delete;
    BrowserConnection& operator=(const BrowserConnection&) = delete;

    // The message count, or below 0 when the login failed.
    int login(const Settings& settings) const {
        if (usesOAuth2(settings.OAuth.Pop3Auth, "Pop3Auth"))
            return LoginWithOAuthToken(
                settings,
                [&](const std::string& token) {
                    return mail::Pop3AuthenticateBearer(handle, settings.UserID.c_str(),
                                                        token.c_str());
                },
                mail::kMailLibRefused);
        return mail::MailLibPop3Authenticate(handle, settings.UserID.c_str(),
                                             Pop3Password(settings).c_str(),
                                             settings.ApopFlag ? -1 : 0);
    }
    // The message count of a connection that must stand and log in; else the error with why.
    int loginOrThrow(const Settings& settings) {
        if (handle == -1) throw mail::MailError("接続失敗 "_cp + lastMailError());
        int count = login(settings);
        if (count < 0) {
            std::string why = "ログインエラー:"_cp + lastMailError();
            // No connection is held open while the box waits for the user.
            close();
            throw mail::MailError(why);
        }
        return count;
    }
    void close() {
        mail::MailLibPop3Close(handle);
        handle = -1;
    }

    int handle;
};

}  // namespace

std::vector<MailRow> ListMailbox(const Settings& settings) {
    std::vector<MailRow> rows;
    BrowserConnection connection(settings);
    int count = connection.loginOrThrow(settings);
    MailBuffer subject = newMailBuffer(), date = newMailBuffer(), from = newMailBuffer();
    for (int n = 1; n <= count; ++n) {
        auto block = NewHeaderBlock();
        mail::MailLibPop3GetMailStatus(connection.handle, n, subject.data(), date.data(),
                                       from.data(), block.get(), 0);
        AppendHeaderLineEnd(block.get());
        rows.push_back({textOf(subject), textOf(date), textOf(from), HeaderBlockText(block.get())});
    }
    return rows;
}

std::optional<std::string> FetchBody(const Settings& settings, int p) {
    std::string folder = AttachmentFolder();
    BrowserConnection connection(settings);
    if (p >= connection.loginOrThrow(settings)) return std::nullopt;
    int size = mail::MailLibPop3GetMailSize(connection.handle, p + 1);
    std::vector<char> body(size > 0 ? size : 0, '\0');
    MailBuffer subject = newMailBuffer(), date = newMailBuffer(), from = newMailBuffer(),
               header = newMailBuffer();
    auto fetch = [&] {
        return mail::MailLibPop3GetMail(
            connection.handle, p + 1, subject.data(), date.data(), from.data(), header.data(),
            body.empty() ? nullptr : body.data(), folder.c_str(), nullptr);
    };
    // The listing's size is only a hint: a larger body is handed out on the second call, into a
    // buffer of the size it needs.
    int fetched = fetch();
    if (fetched == mail::kMailLibBodyTooLarge) {
        size = mail::MailLibPop3GetMailSize(connection.handle, p + 1);
        body.assign(size > 0 ? size : 0, '\0');
        fetched = fetch();
    }
    if (fetched < 0) throw mail::MailError(lastMailError());
    return body.empty() ? "" : std::string(body.data(), strnlen(body.data(), body.size()));
}

void DeleteMessage(const Settings& settings, int p) {
    BrowserConnection connection(settings);
    if (connection.handle != -1 && p < connection.login(settings))
        mail::MailLibPop3DeleteMail(connection.handle, p + 1);
}

std::string SaveMessage(const Settings& settings, int p, const MailRow& row, ViewedMessage& viewed,
                        const std::string& path) {
    if (viewed.row != p) {
        auto body = FetchBody(settings, p);
        if (!body) return "保存できませんでした: メッセージを受信できません"_cp;
        viewed = {p, std::move(*body)};
    }
    WriteStringToFile(row.header + viewed.body, path);
    return {};
}

}  // namespace korv
