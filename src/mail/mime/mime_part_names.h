#pragma once
// What a message part is called: its file name as the sender wrote it, decoded to CP932.
#include <gmime/gmime.h>

#include <optional>
#include <string>

namespace korv::mail {

// The filename of Content-Disposition, else the name of Content-Type: plain, RFC 2047 words
// inside quotes (common in Japanese mail), or RFC 2231 with continuations; raw 8-bit names in
// Shift-JIS or ISO-2022-JP are read as such. Nothing when the part has neither.
std::optional<std::string> partFileName(GMimeObject* part);

// The usual extension of a lower-case "type/subtype", for parts that come without a name.
std::string extensionForType(const std::string& type);

}  // namespace korv::mail
