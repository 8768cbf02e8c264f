#pragma once
// How a connection to a mail server is protected, and whom it trusts.
#include <string>

namespace korv::mail {

enum class Security {
    Auto,      // upgrade to TLS (STLS, STARTTLS) whenever the server offers it
    Required,  // upgrade or refuse: a server without it is an error before any password is sent
    Implicit,  // TLS from the first byte (pop3s, smtps)
    None,      // plain text, as the server speaks it
};

// "auto", "stls" or "starttls", "tls", "none" (any letter case); "" is auto. False otherwise.
bool parseSecurity(const std::string& text, Security& out);

struct ConnectOptions {
    Security security = Security::Auto;
    // A PEM file or folder trusted besides the system's authorities (and KORVANTO_CA_FILE).
    std::string caFile;
};

// The options as a settings file gives them (key names the security key for the error text).
// Throws MailError when the security text is none of the four.
ConnectOptions connectOptions(const std::string& securityText, const std::string& caFile,
                              const char* key);

// MailLibPop3Connect with these options (MailLibPop3Connect itself speaks plain text unless the
// server name says pop3s://).
int Pop3Connect(const char* server, const ConnectOptions& options);

}  // namespace korv::mail
