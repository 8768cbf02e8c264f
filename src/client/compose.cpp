#include "client/compose.h"

#include <exception>
#include <optional>
#include <vector>

#include "client/client_core.h"
#include "mail/mime/header_text.h"
#include "mail/security.h"
#include "platform/codepage.h"
#include "settings/oauth_tokens.h"

namespace korv {

std::string SendComposed(const Settings& settings, mail::OutgoingMail mail) {
    try {
        mail::ConnectOptions c =
            mail::connectOptions(settings.SmtpSecurity, settings.CaFile, "SmtpSecurity");
        mail.from = settings.MailAddress;
        if (usesOAuth2(settings.OAuth.SmtpAuth, "SmtpAuth")) {
            // The token's own account logs in unless SmtpUser names another.
            std::string user = settings.SmtpUser.empty() ? settings.UserID : settings.SmtpUser;
            mail::SmtpOptions options{c.security, c.caFile, user, "", OAuthAccessToken(settings)};
            try {
                mail::sendMail(settings.SmtpName, mail, options);
            } catch (const mail::MailError& e) {
                // Refused before anything was sent: once more with a fresh token.
                if (e.kind() != mail::MailError::Kind::LoginRefused) throw;
                options.bearer = OAuthAccessToken(settings, true);
                mail::sendMail(settings.SmtpName, mail, options);
            }
            return {};
        }
        mail::SmtpOptions options{c.security, c.caFile, settings.SmtpUser,
                                  settings.SmtpUser.empty() ? "" : SmtpPasswordOf(settings)};
        mail::sendMail(settings.SmtpName, mail, options);
        return {};
    } catch (const std::exception& e) {
        return "送信できませんでした:"_cp + e.what();
    }
}

ReplyDraft PrefillReply(const MailRow& row) {
    auto field = [&](const char* name) -> std::optional<std::string> {
        return mail::headerField(row.header, name);
    };
    ReplyDraft draft;
    // A crafted Reply-To goes to the field as it is: the library refuses it and says why.
    draft.to = field("Reply-To:").value_or(row.from);
    if (auto subject = field("Subject:")) draft.subject = "Re: " + OneLine(*subject);
    draft.thread =
        ReplyThreadHeaders(field("Message-ID:").value_or(""), field("References:").value_or(""));
    return draft;
}

}  // namespace korv
