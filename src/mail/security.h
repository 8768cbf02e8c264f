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
    // CAPA before the login, and what it offers: UTF8 (messages handed out as they were received)
    // and LOGIN-DELAY (see Pop3LoginDelay). Off only for MailLibPop3Connect, which talks as the
    // old library did.
    bool extensions = true;
};

// The options as a settings file gives them (key names the security key for the error text).
// Throws MailError when the security text is none of the four.
ConnectOptions connectOptions(const std::string& securityText, const std::string& caFile,
                              const char* key);

// MailLibPop3Connect with these options (MailLibPop3Connect itself speaks plain text unless the
// server name says pop3s://).
int Pop3Connect(const char* server, const ConnectOptions& options);
// After a login attempt on a connection of Pop3Connect: the seconds the server wants between two
// logins (its CAPA LOGIN-DELAY, the user's own when it announces one after the login); 0 when it
// names none or the handle is unknown.
int Pop3LoginDelay(int handle);

}  // namespace korv::mail
