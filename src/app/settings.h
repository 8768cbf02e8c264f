#pragma once
// The nine settings of the program's INI file, section KORVANTO2.
#include <string>

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
};

inline constexpr const char* kSettingsSection = "KORVANTO2";

Settings LoadSettings(const std::string& iniPath);
void SaveSettings(const Settings& settings, const std::string& iniPath);

// Decimal, or hexadecimal after "0x", "0X" or "$"; anything else (or nothing) is off.
bool parseApopFlag(const std::string& text);

}  // namespace korv
