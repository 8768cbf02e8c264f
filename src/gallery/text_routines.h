#pragma once
// Small text routines of the gallery hand-off; all texts are CP932 bytes.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korv {

// Puts the decimal digits of number into the template's "#" places (right-aligned, zero-filled,
// only the last digits when there are too few places). Counted by character: a double-byte
// character, the full-width "＃" among them, is never a place.
std::string FillNumberTemplate(std::int32_t number, const std::string& numberTemplate);
// The number of "#" places of a template, counted as FillNumberTemplate counts them.
std::size_t CountNumberPlaces(const std::string& numberTemplate);

// Splits at the first byte-wise occurrence of separator; without it the whole text comes first.
std::pair<std::string, std::string> SplitAt(const std::string& text, const std::string& separator);

// Items of a comma text: blanks and control characters around items are skipped, an item in
// double quotes may hold commas and blanks ("" stands for one quote), a final comma adds an
// empty item. A zero byte ends the text.
std::vector<std::string> ReadCommaText(const std::string& text);

}  // namespace korv
