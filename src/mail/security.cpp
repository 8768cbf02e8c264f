#include "mail/security.h"

#include <cctype>

namespace korv::mail {

bool parseSecurity(const std::string& text, Security& out) {
    std::string word;
    for (char c : text) word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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

}  // namespace korv::mail
