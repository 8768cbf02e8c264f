#include "gallery/png_metadata.h"

#include <zlib.h>

#include <cstdint>

#include "gallery/exif_filter.h"

namespace korv {
namespace {

const std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);

std::uint32_t be32(std::string_view d, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(d[at + i]);
    return v;
}

void putBe32(std::string& s, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>(v >> (8 * i)));
}

std::string chunk(std::string_view type, std::string_view data) {
    std::string s;
    putBe32(s, static_cast<std::uint32_t>(data.size()));
    std::string body(type);
    body += data;
    s += body;
    putBe32(s, static_cast<std::uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
    return s;
}

// Text chunks that carry XMP, or EXIF and IPTC as ImageMagick writes them, by their keyword.
bool isMetadataText(std::string_view type, std::string_view data) {
    if (type != "tEXt" && type != "zTXt" && type != "iTXt") return false;
    const std::string_view keyword = data.substr(0, data.find('\0'));
    return keyword == "XML:com.adobe.xmp" || keyword.starts_with("Raw profile type");
}

}  // namespace

std::optional<std::string> stripPng(std::string_view d) {
    if (!d.starts_with(kSignature)) return std::nullopt;
    std::string out(kSignature);
    std::size_t pos = kSignature.size();
    while (pos < d.size()) {
        if (d.size() - pos < 12) return std::nullopt;
        const std::uint32_t length = be32(d, pos);
        if (d.size() - pos - 12 < length) return std::nullopt;
        const std::string_view type = d.substr(pos + 4, 4);
        const std::string_view data = d.substr(pos + 8, length);
        const std::string_view whole = d.substr(pos, length + 12);
        pos += length + 12;
        if (type == "eXIf" || type == "zxIf") {
            if (type == "eXIf") {
                std::string kept = filterExif(data);
                if (!kept.empty()) out += chunk(type, kept);
            }
        } else if (!isMetadataText(type, data)) {
            out += whole;
        }
        if (type == "IEND") break;
    }
    return out;
}

}  // namespace korv
