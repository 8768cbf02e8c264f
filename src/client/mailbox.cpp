#include "client/mailbox.h"

#include "client/client_core.h"
#include "mail/pop3/pop3_mailbox.h"
#include "mail/security.h"
#include "platform/codepage.h"
#include "platform/whole_file.h"
#include "settings/oauth_tokens.h"

namespace korv {
namespace {

using mail::MailError;
using mail::Pop3Mailbox;

// Who signs in and with what; a token is renewed once when the server refuses it.
mail::Credentials credentialsOf(const Settings& settings) {
    using Method = mail::Credentials::Method;
    if (usesOAuth2(settings.OAuth.Pop3Auth, "Pop3Auth"))
        return {Method::Bearer, settings.UserID, OAuthAccessToken(settings),
                [&settings] { return OAuthAccessToken(settings, true); }};
    return {settings.ApopFlag ? Method::Apop : Method::Password, settings.UserID,
            Pop3Password(settings)};
}

// The settings are checked before the password is asked for.
mail::Pop3Account accountOf(const Settings& settings) {
    return {settings.Pop3Name,
            mail::connectOptions(settings.Pop3Security, settings.CaFile, "Pop3Security"),
            credentialsOf(settings)};
}

// The mailbox of the settings, or the error the box shows: "接続失敗" and why when the server
// cannot be reached, "ログインエラー:" and the server's text when the login is refused. No
// connection is held open while the box waits for the user.
std::unique_ptr<Pop3Mailbox> openMailbox(const Settings& settings) {
    mail::Pop3Account account = accountOf(settings);  // a settings error as it is
    mail::OpenProgress progress;
    try {
        return Pop3Mailbox::open(account, &progress);
    } catch (const MailError& e) {
        if (!progress.connected) throw MailError("接続失敗 "_cp + e.what(), e.kind());
        throw MailError("ログインエラー:"_cp + e.what(), e.kind());
    }
}

// A text as the list keeps it: up to its first zero byte and at most 8191 bytes, never cut
// inside a double-byte character.
std::string listText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::size_t n = 0;
    while (n < text.size()) {
        std::size_t step =
            isLeadByte(static_cast<unsigned char>(text[n])) && n + 1 < text.size() ? 2 : 1;
        if (n + step > kHeaderBlockBytes - 1) break;
        n += step;
    }
    return std::string(text.substr(0, n));
}

// The header block of a row: its text and a CR LF, within the block.
std::string headerBlock(const std::string& header) {
    auto block = NewHeaderBlock();
    std::string text = listText(header);
    text.copy(block.get(), text.size());
    AppendHeaderLineEnd(block.get());
    return HeaderBlockText(block.get());
}

}  // namespace

std::vector<MailRow> ListMailbox(const Settings& settings) {
    std::vector<MailRow> rows;
    auto mailbox = openMailbox(settings);
    for (int n = 1; n <= mailbox->count(); ++n) {
        MailRow row;
        try {
            mail::MessageTexts t = mailbox->header(n);
            row = {listText(t.subject), listText(t.date), listText(t.from), headerBlock(t.header)};
        } catch (const MailError&) {
            // A message the server will not give stays an empty row.
            row.header = headerBlock("");
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<std::string> FetchBody(const Settings& settings, int p) {
    std::string folder = AttachmentFolder();
    auto mailbox = openMailbox(settings);
    if (p >= mailbox->count()) return std::nullopt;
    mail::DecodedMessage m = mailbox->fetch(p + 1, folder);
    if (m.attachmentError) throw *m.attachmentError;
    // The body as the library hands it out: up to its first zero byte.
    return std::string(m.body.c_str());
}

void DeleteMessage(const Settings& settings, int p) {
    mail::Pop3Account account = accountOf(settings);  // a settings error is shown
    try {
        auto mailbox = Pop3Mailbox::open(account);
        if (p < mailbox->count()) mailbox->remove(p + 1);
    } catch (const MailError&) {
        // The list reloaded after it says why.
    }
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
