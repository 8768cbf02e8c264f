#pragma once
// The charsets of Japanese mail and their arithmetic against CP932: ISO-2022-JP by its JIS rows
// (ICU's converter garbles the NEC and IBM rows), everything else through codepage.
#include <string>
#include <string_view>

namespace korv {

// Text in a mail charset to CP932. ISO-2022-JP (also with NEC/IBM extension rows) is mapped
// through the JIS to Shift-JIS transform, the sets of its later forms (JIS X 0213 of -3 and
// -2004, JIS X 0212, ...) through Unicode; everything else goes through ICU. A character CP932
// lacks becomes '?'; escape sequences never reach the text.
std::string textToCp932(std::string_view bytes, std::string_view charset);
// Text of unknown charset (8-bit header bytes): ISO-2022-JP when it holds escapes, SO or SI,
// UTF-8 when it is valid UTF-8, else CP932 already.
std::string guessToCp932(std::string_view bytes);

// CP932 to ISO-2022-JP; false when the text holds characters outside ASCII and JIS X 0208.
bool cp932ToIso2022jp(std::string_view cp932, std::string& out);

}  // namespace korv
