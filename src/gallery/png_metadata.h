#pragma once
// A PNG's metadata by its chunks alone: no XMP, and of EXIF only what exif_filter keeps.
#include <optional>
#include <string>
#include <string_view>

namespace korv {

// The file with eXIf filtered, XMP and raw-profile text chunks left out and nothing after IEND;
// nullopt when the signature or a chunk's length does not hold.
std::optional<std::string> stripPng(std::string_view file);

}  // namespace korv
