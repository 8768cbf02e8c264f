#pragma once
// How a connection to a mail server is protected, and whom it trusts.
#include <string>

namespace korv::mail {

enum class Security {
    // POP3: TLS from the first byte for pop3s:// or port 995, else STLS as Required. SMTP:
    // STARTTLS whenever the server offers it, and required for a login.
    Auto,
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
// Throws MailError (kMailLibSettings) when the security text is none of the four or the CA file
// is not there.
ConnectOptions connectOptions(const std::string& securityText, const std::string& caFile,
                              const char* key);

// MailLibPop3Connect with these options (MailLibPop3Connect itself speaks plain text unless the
// server name says pop3s://). Without a connection, failure (when given) receives why:
// kMailLibBroken (unreachable, timed out, broke off), kMailLibSettings, kMailLibInsecure or
// kMailLibFailed.
int Pop3Connect(const char* server, const ConnectOptions& options, int* failure = nullptr);
// After a login attempt on a connection of Pop3Connect: the seconds the server wants between two
// logins (its CAPA LOGIN-DELAY, the user's own when it announces one after the login); 0 when it
// names none or the handle is unknown.
int Pop3LoginDelay(int handle);

// MailLibPop3Authenticate with an OAuth2 access token instead of a password (SASL OAUTHBEARER or
// XOAUTH2, only over TLS): the message count, or below 0 as MailLibPop3Authenticate.
int Pop3AuthenticateBearer(int handle, const char* user, const char* token);

}  // namespace korv::mail
