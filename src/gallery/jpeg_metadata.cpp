#include "gallery/jpeg_metadata.h"

#include <cstdint>

#include "gallery/exif_filter.h"

namespace korv {
namespace {

const std::string_view kExifId("Exif\0\0", 6);
const std::string_view kIccId("ICC_PROFILE\0", 12);

std::size_t be16(std::string_view d, std::size_t at) {
    return static_cast<unsigned char>(d[at]) << 8 | static_cast<unsigned char>(d[at + 1]);
}

std::string segment(unsigned char marker, std::string_view payload) {
    std::string s = {'\xFF', static_cast<char>(marker),
                     static_cast<char>((payload.size() + 2) >> 8),
                     static_cast<char>((payload.size() + 2) & 0xFF)};
    s += payload;
    return s;
}

// Where the next marker of entropy-coded data begins (stuffed FF 00 and restart markers are
// part of the data); the end when there is none.
std::size_t endOfScan(std::string_view d, std::size_t pos) {
    for (std::size_t i = d.find('\xFF', pos); i != std::string_view::npos && i + 1 < d.size();
         i = d.find('\xFF', i + 1)) {
        const unsigned char next = static_cast<unsigned char>(d[i + 1]);
        if (next != 0x00 && next != 0xFF && !(next >= 0xD0 && next <= 0xD7)) return i;
    }
    return d.size();
}

// JFIF APP0 stays (it says how to read the colours) without its thumbnail; JFXX is a thumbnail.
std::optional<std::string> keptApp0(std::string_view payload) {
    if (payload.size() < 14 || payload.substr(0, 5) != std::string_view("JFIF\0", 5))
        return std::nullopt;
    std::string p(payload.substr(0, 14));
    p[12] = p[13] = '\0';
    return p;
}

}  // namespace

std::optional<StrippedJpeg> stripJpeg(std::string_view d) {
    if (d.size() < 2 || d[0] != '\xFF' || d[1] != '\xD8') return std::nullopt;
    StrippedJpeg out;
    out.bytes = "\xFF\xD8";
    bool exifSeen = false;
    std::size_t pos = 2;
    while (pos < d.size()) {
        if (d[pos] != '\xFF') return std::nullopt;
        while (pos < d.size() && d[pos] == '\xFF') ++pos;
        if (pos >= d.size()) break;
        const unsigned char marker = static_cast<unsigned char>(d[pos++]);
        // FF 00 is a stuffed byte of image data, no marker: kept as a segment, it would hide
        // what follows inside the scan before it once the segments between are gone.
        if (marker == 0x00) return std::nullopt;
        if (marker == 0xD9) {  // EOI: whatever follows (another picture, a trailer) stays out
            out.bytes += "\xFF\xD9";
            break;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            out.bytes += {'\xFF', static_cast<char>(marker)};
            continue;
        }
        if (d.size() - pos < 2) return std::nullopt;
        const std::size_t length = be16(d, pos);
        if (length < 2 || d.size() - pos < length) return std::nullopt;
        const std::string_view whole = d.substr(pos - 2, length + 2);
        const std::string_view payload = d.substr(pos + 2, length - 2);
        pos += length;
        if (marker == 0xE0) {
            if (auto app0 = keptApp0(payload)) out.bytes += segment(marker, *app0);
        } else if (marker == 0xE1) {
            // XMP and extended XMP go whole; EXIF keeps its harmless tags.
            if (payload.substr(0, 6) == kExifId && !exifSeen) {
                exifSeen = true;
                const std::string_view tiff = payload.substr(6);
                out.orientation = exifOrientation(tiff);
                out.exifTiff = filterExif(tiff);
                if (!out.exifTiff.empty())
                    out.bytes += segment(marker, std::string(kExifId) + out.exifTiff);
            }
        } else if (marker == 0xE2) {
            // MPF (second pictures with their own EXIF), FlashPix and the rest go.
            if (payload.size() > 14 && payload.substr(0, 12) == kIccId) {
                out.bytes += whole;
                out.icc += payload.substr(14);
            }
        } else if (marker == 0xEE) {
            out.bytes += whole;  // Adobe: the colour transform of the image data
        } else if ((marker >= 0xE3 && marker <= 0xEF) || marker == 0xFE) {
            // other APPn (Photoshop's IPTC and XMP, vendors' blocks) and comments go
        } else {
            out.bytes += whole;
            if (marker == 0xDA) {
                const std::size_t end = endOfScan(d, pos);
                out.bytes += d.substr(pos, end - pos);
                pos = end;
            }
        }
    }
    return out;
}

std::string withMetadataSegments(std::string_view jpeg, const std::string& exifTiff,
                                 const std::string& icc) {
    std::string segments;
    // A segment holds at most 65533 bytes; EXIF from a HEIC has no such bound.
    if (!exifTiff.empty() && exifTiff.size() + kExifId.size() <= 65533)
        segments += segment(0xE1, std::string(kExifId) + exifTiff);
    // An ICC profile comes in chunks of at most 65519 bytes, numbered from 1.
    constexpr std::size_t kChunk = 65519;
    const std::size_t chunks = (icc.size() + kChunk - 1) / kChunk;
    for (std::size_t i = 0; i < chunks && chunks <= 255; ++i) {
        std::string payload(kIccId);
        payload += static_cast<char>(i + 1);
        payload += static_cast<char>(chunks);
        payload += icc.substr(i * kChunk, kChunk);
        segments += segment(0xE2, payload);
    }
    std::size_t at = 2;
    if (jpeg.size() >= 6 && jpeg[2] == '\xFF' && jpeg[3] == '\xE0') at = 4 + be16(jpeg, 4);
    std::string out(jpeg.substr(0, at));
    out += segments;
    out += jpeg.substr(at);
    return out;
}

}  // namespace korv
