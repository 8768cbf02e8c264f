#pragma once
// A JPEG's metadata by its marker structure alone, so that a picture whose image data cannot be
// decoded loses its location all the same.
#include <optional>
#include <string>
#include <string_view>

namespace korv {

struct StrippedJpeg {
    std::string bytes;     // the file without XMP, maker notes, other APPn, comments and trailer
    int orientation = 1;   // of its EXIF, 1 to 8
    std::string exifTiff;  // the EXIF kept, as a TIFF structure; "" when none
    std::string icc;       // the ICC profile, its chunks joined; "" when none
};

// nullopt when the marker structure before the first scan cannot be walked (no SOI, a segment
// running past the end, bytes where a marker belongs).
std::optional<StrippedJpeg> stripJpeg(std::string_view file);

// The APP1 EXIF and APP2 ICC segments for a JPEG made anew, inserted after its SOI and JFIF APP0.
std::string withMetadataSegments(std::string_view jpeg, const std::string& exifTiff,
                                 const std::string& icc);

}  // namespace korv
