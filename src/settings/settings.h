#pragma once
// The nine settings of the program's INI file, section KORVANTO2.
#include <stdexcept>
#include <string>

#include "settings/oauth_settings.h"

namespace korv {

struct Settings {
    std::string SmtpName;
    std::string MailAddress;
    std::string UserID;
    std::string Password;
    std::string Pop3Name;
    bool ApopFlag = false;
    std::string NameOrder = "num3d";
    std::string DefaultImg = "noimg.jpg";
    std::string SessionDB;

    // Read from the file, never written by "write ini" (which keeps to the nine keys above).
    std::string Pop3Security;     // auto (empty), stls, tls or none
    std::string CaFile;           // a PEM file or folder trusted besides the system's authorities
    std::string PasswordCommand;  // when set, its first output line is the POP3 password
    std::string SmtpSecurity;     // auto (empty), starttls, tls or none
    std::string SmtpUser;         // empty: no SMTP login
    std::string SmtpPassword;
    std::string SmtpPasswordCommand;
    std::string Interval;  // seconds between the polls of `--watch`; empty: the window's 30
    OAuthSettings OAuth;   // sign-in by OAuth2 instead of a password
};

// A setting the program cannot work with (a server name that does not parse, an unknown
// security word, a CA file that is not there): only the user can mend it. The text names it.
class SettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How long a password command may take (a password manager may ask for its own password).
inline constexpr int kPasswordCommandTimeoutMs = 60000;

// The POP3 password: PasswordCommand's first output line when it is set, else Password. Throws
// CommandError naming the command when it fails; never an empty password from a failed command.
std::string Pop3Password(const Settings& settings);
// The same for SMTP with SmtpPasswordCommand and SmtpPassword.
std::string SmtpPasswordOf(const Settings& settings);
// The server, user and a password (or its command, or Pop3Auth=oauth2) are there: the program
// can poll.
bool HasPop3Account(const Settings& settings);

inline constexpr const char* kSettingsSection = "KORVANTO2";

Settings LoadSettings(const std::string& iniPath);
void SaveSettings(const Settings& settings, const std::string& iniPath);

// Decimal, or hexadecimal after "0x", "0X" or "$"; anything else (or nothing) is off.
bool parseApopFlag(const std::string& text);

}  // namespace korv
