#pragma once
// The widget border of the code page: widgets speak Unicode, the program CP932.
#include <QString>
#include <string>

#include "platform/codepage.h"

namespace korv {

inline QString toQ(const std::string& cp932) { return QString::fromStdString(cp932ToUtf8(cp932)); }
inline std::string fromQ(const QString& text) { return utf8ToCp932(text.toStdString()); }

}  // namespace korv
