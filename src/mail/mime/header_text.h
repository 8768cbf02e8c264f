#pragma once
// Header fields and RFC 2047 words, decoded to CP932 without GMime's iconv path (which garbles
// the CP932 extension characters); the charsets themselves are platform/charsets.
#include <optional>
#include <string>
#include <string_view>

namespace korv::mail {

// Bytes as base64 on one line, without the breaks of MIME bodies: encoded words, SASL.
std::string base64Line(std::string_view bytes);

// The header block of a message: its lines up to the first empty line, or up to the first line
// that is no header field when no empty line comes before it.
std::string_view headerBlockOf(std::string_view rawMessage);
// The body of a message: what follows the header block and its empty line.
std::string_view bodyOf(std::string_view rawMessage);

// The raw value of the first field of that name (case-insensitive, with or without colon),
// unfolded and without the blanks around it; nothing when absent.
std::optional<std::string> findHeaderField(std::string_view header, std::string_view name);

// The decoded value of the first field of that name in a header block (CP932); nothing when
// absent.
std::optional<std::string> headerField(std::string_view header, std::string_view name);

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

}  // namespace korv::mail
