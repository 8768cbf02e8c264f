#include "mail/mail_error.h"

#include "platform/codepage.h"

namespace korv::mail {

std::string serverError(std::string_view protocol, std::string_view server,
                        std::string_view reason) {
    std::string text(protocol);
    text += "サーバ "_cp;
    text += server;
    text += ": ";
    text += reason;
    return text;
}

}  // namespace korv::mail
