#pragma once
// The EXIF a published picture may keep: what was taken when, with which camera and settings;
// never where (GPS), by whom (serial numbers, owner), nor the maker's notes or the thumbnail.
#include <string>
#include <string_view>

namespace korv {

// Rebuilds a TIFF structure (the body of an EXIF block) with only the kept tags of IFD0 and the
// Exif IFD, in the same byte order. orientation > 0 replaces the orientation tag's value.
// Returns "" when nothing is kept or the structure cannot be read.
std::string filterExif(std::string_view tiff, int orientation = 0);

// The orientation tag of a TIFF structure (1 to 8); 1 when there is none or it is out of range.
int exifOrientation(std::string_view tiff);

}  // namespace korv
