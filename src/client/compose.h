#pragma once
// New messages and replies: what the composition dialog starts with, and the sending.
#include <string>

#include "client/mailbox.h"
#include "mail/smtp/smtp_mail.h"
#include "settings/settings.h"

namespace korv {

// Sends through the settings' SMTP server, from their MailAddress, with their protection and
// login. Returns "" when sent, else "送信できませんでした:" and why (a refused address names
// itself).
std::string SendComposed(const Settings& settings, mail::OutgoingMail mail);

// What a reply to a list row starts with.
struct ReplyDraft {
    std::string to;       // the Reply-To value, else the row's sender
    std::string subject;  // "Re: " and the subject on one line; empty without a Subject field
    std::string thread;   // In-Reply-To and References for OutgoingMail::extraHeaders
};
ReplyDraft PrefillReply(const MailRow& row);

}  // namespace korv
