#include "mail/security.h"

#include <filesystem>

#include "mail/mail_error.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace korv::mail {

bool parseSecurity(const std::string& text, Security& out) {
    std::string word = asciiLower(text);
    if (word.empty() || word == "auto")
        out = Security::Auto;
    else if (word == "stls" || word == "starttls")
        out = Security::Required;
    else if (word == "tls")
        out = Security::Implicit;
    else if (word == "none")
        out = Security::None;
    else
        return false;
    return true;
}

ConnectOptions connectOptions(const std::string& securityText, const std::string& caFile,
                              const char* key) {
    ConnectOptions options;
    if (!parseSecurity(securityText, options.security))
        throw MailError(std::string(key) + " の値「"_cp + securityText +
                            "」は auto, stls (starttls), tls, none のどれでもありません"_cp,
                        MailError::Kind::Settings);
    std::error_code ec;
    if (!caFile.empty() && !std::filesystem::exists(nativePath(caFile), ec))
        throw MailError("CaFile の証明書ファイル "_cp + caFile + " がありません"_cp,
                        MailError::Kind::Settings);
    options.caFile = caFile;
    return options;
}

}  // namespace korv::mail
