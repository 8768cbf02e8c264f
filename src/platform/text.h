#pragma once
// Letter case and line breaks of CP932 text, with one rule each for the whole program.
#include <string>
#include <string_view>
#include <vector>

namespace korv {

// Only single-byte ASCII letters fold, whatever the locale: a half-width katakana has no case,
// and the second byte of a double-byte character may look like a letter.
std::string asciiLower(std::string_view cp932);
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);

// Bytes of the line break at i: 2 for CR LF, 1 for a lone CR or LF, 0 when there is none.
inline std::size_t lineBreakAt(std::string_view text, std::size_t i) {
    if (i >= text.size()) return 0;
    if (text[i] == '\n') return 1;
    if (text[i] != '\r') return 0;
    return i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
}
// Every line break (CR LF, lone CR, lone LF) written as `with`.
std::string replaceLineBreaks(std::string_view text, std::string_view with);
inline std::string toCrLf(std::string_view text) { return replaceLineBreaks(text, "\r\n"); }
// The lines without their breaks; a last line without a break counts unless it is empty.
std::vector<std::string> splitLines(std::string_view text);

// A whole number as a settings key or an input field gives it: optional blanks before it, a
// sign, decimal or "$"/"0x" hexadecimal, within int. Raises ConversionError
// "'text' は整数ではありません".
int parseInteger(const std::string& cp932);

}  // namespace korv
