#include "settings/settings.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/command.h"
#include "platform/profile.h"

namespace korv {

bool parseApopFlag(const std::string& text) {
    std::string digits = text;
    int base = 10;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    if (digits.size() > 1 && digits[0] == '$') {
        base = 16;
        digits.erase(0, 1);
    } else if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    if (digits.empty()) return false;
    for (char c : digits) {
        bool ok =
            base == 10 ? (c >= '0' && c <= '9') : std::isxdigit(static_cast<unsigned char>(c));
        if (!ok) return false;
    }
    errno = 0;
    unsigned long long v = std::strtoull(digits.c_str(), nullptr, base);
    if (errno == ERANGE) return false;
    // Hexadecimal may fill all 32 bits; decimal must fit a signed 32-bit integer.
    unsigned long long limit =
        base == 16
            ? 0xFFFFFFFFull
            : static_cast<unsigned long long>(std::numeric_limits<int>::max()) + (negative ? 1 : 0);
    if (v > limit) return false;
    return v != 0;
}

Settings LoadSettings(const std::string& iniPath) {
    ProfileFile ini(iniPath);
    Settings s;
    const std::string sec = kSettingsSection;
    s.SmtpName = ini.get(sec, "SmtpName", "");
    s.Pop3Name = ini.get(sec, "Pop3Name", "");
    s.ApopFlag = parseApopFlag(ini.get(sec, "ApopFlag", "0"));
    s.MailAddress = ini.get(sec, "MailAddress", "");
    s.UserID = ini.get(sec, "UserID", "");
    s.Password = ini.get(sec, "Password", "");
    s.NameOrder = ini.get(sec, "NameOrder", "num3d");
    s.DefaultImg = ini.get(sec, "DefaultImg", "noimg.jpg");
    s.SessionDB = ini.get(sec, "SessionDB", "");
    s.Pop3Security = ini.get(sec, "Pop3Security", "");
    s.CaFile = ini.get(sec, "CaFile", "");
    s.PasswordCommand = ini.get(sec, "PasswordCommand", "");
    s.SmtpSecurity = ini.get(sec, "SmtpSecurity", "");
    s.SmtpUser = ini.get(sec, "SmtpUser", "");
    s.SmtpPassword = ini.get(sec, "SmtpPassword", "");
    s.SmtpPasswordCommand = ini.get(sec, "SmtpPasswordCommand", "");
    s.Interval = ini.get(sec, "Interval", "");
    s.OAuth = LoadOAuthSettings(iniPath);
    return s;
}

std::string Pop3Password(const Settings& s) {
    if (s.PasswordCommand.empty()) return s.Password;
    return FirstLineOfCommand(s.PasswordCommand, kPasswordCommandTimeoutMs);
}

std::string SmtpPasswordOf(const Settings& s) {
    if (s.SmtpPasswordCommand.empty()) return s.SmtpPassword;
    return FirstLineOfCommand(s.SmtpPasswordCommand, kPasswordCommandTimeoutMs);
}

bool HasPop3Account(const Settings& s) {
    return !s.Pop3Name.empty() && !s.UserID.empty() &&
           (!s.Password.empty() || !s.PasswordCommand.empty() ||
            usesOAuth2(s.OAuth.Pop3Auth, "Pop3Auth"));
}

void SaveSettings(const Settings& s, const std::string& iniPath) {
    ProfileFile ini(iniPath);
    const std::string sec = kSettingsSection;
    ini.set(sec, "ApopFlag", s.ApopFlag ? "1" : "0");
    ini.set(sec, "SmtpName", s.SmtpName);
    ini.set(sec, "Pop3Name", s.Pop3Name);
    ini.set(sec, "MailAddress", s.MailAddress);
    ini.set(sec, "UserID", s.UserID);
    ini.set(sec, "Password", s.Password);
    ini.set(sec, "SessionDB", s.SessionDB);
    ini.set(sec, "NameOrder", s.NameOrder);
    ini.set(sec, "DefaultImg", s.DefaultImg);
    ini.save();
}

}  // namespace korv
