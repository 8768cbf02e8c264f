#pragma once
// Header fields and RFC 2047 words, decoded to CP932 without GMime's iconv path (which garbles
// the CP932 extension characters); ISO-2022-JP is mapped by its JIS rows directly.
#include <optional>
#include <string>
#include <string_view>

namespace korv::mail {

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

// The header block of a message: the lines before the first empty line.
std::string_view headerBlockOf(std::string_view rawMessage);
// The body of a message: what follows the first empty line.
std::string_view bodyOf(std::string_view rawMessage);

// The raw value of the first field of that name (case-insensitive, with or without colon),
// unfolded and without the blanks around it; nothing when absent.
std::optional<std::string> findHeaderField(std::string_view header, std::string_view name);

// How much of one header value is decoded; the rest is left out. Decoded texts reach the program
// through 8 KB buffers, and 128 KB holds 8 KB of text in its most verbose encoding (half-width
// katakana as UTF-8 in Q words: nine bytes for each CP932 byte, about 90 KB with the words'
// frames), so nothing that could be shown is lost, while a crafted megabyte costs no more.
inline constexpr std::size_t kMaxDecodedHeaderBytes = 128 * 1024;

// Unstructured header text with RFC 2047 words to CP932, in time linear in its length; of a
// longer text the first kMaxDecodedHeaderBytes.
std::string decodeHeaderText(std::string_view raw);
// CP932 text as RFC 2047 words (ISO-2022-JP when it fits, else UTF-8); ASCII text stays as is.
std::string encodeHeaderText(std::string_view cp932);

// CR LF for every line end (lone CR, lone LF).
std::string toCrLf(std::string_view text);

}  // namespace korv::mail
