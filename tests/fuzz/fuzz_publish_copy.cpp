// Pictures from mail, walked by their structure for the gallery's publish copy: the JPEG marker
// walk, the PNG chunk walk and the EXIF rebuild, whose offsets and counts come from the sender.
// What the walk keeps must walk again to the same bytes, and a rebuilt EXIF must rebuild to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gallery/exif_filter.h"
#include "gallery/jpeg_metadata.h"
#include "gallery/png_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (auto jpeg = korv::stripJpeg(input)) {
        auto again = korv::stripJpeg(jpeg->bytes);
        if (!again || again->bytes != jpeg->bytes) std::abort();
        korv::withMetadataSegments(jpeg->bytes, korv::filterExif(jpeg->exifTiff, 1), jpeg->icc);
    }
    if (auto png = korv::stripPng(input)) {
        auto again = korv::stripPng(*png);
        if (!again || *again != *png) std::abort();
    }
    const std::string exif = korv::filterExif(input, 0);
    if (!exif.empty() && korv::filterExif(exif, 0) != exif) std::abort();
    korv::exifOrientation(input);
    return 0;
}
