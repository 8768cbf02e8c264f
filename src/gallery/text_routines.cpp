#include "gallery/text_routines.h"

#include <algorithm>

#include "platform/codepage.h"

namespace korv {
namespace {

bool isBlankOrControl(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

// Byte positions of the "#" places; a double-byte character is stepped over whole.
std::vector<std::size_t> numberPlaces(const std::string& numberTemplate) {
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < numberTemplate.size(); ++i) {
        if (isLeadByte(static_cast<unsigned char>(numberTemplate[i])) &&
            i + 1 < numberTemplate.size()) {
            ++i;
        } else if (numberTemplate[i] == '#') {
            places.push_back(i);
        }
    }
    return places;
}

}  // namespace

std::size_t CountNumberPlaces(const std::string& numberTemplate) {
    return numberPlaces(numberTemplate).size();
}

std::string FillNumberTemplate(std::int32_t number, const std::string& numberTemplate) {
    std::vector<std::size_t> places = numberPlaces(numberTemplate);
    std::string digits = std::to_string(number);
    std::size_t k = places.size();
    if (k < digits.size()) {
        digits = digits.substr(digits.size() - k);
    } else {
        digits.insert(0, k - digits.size(), '0');
    }
    std::string result = numberTemplate;
    for (std::size_t i = 0; i < k; ++i) result[places[i]] = digits[i];
    return result;
}

std::pair<std::string, std::string> SplitAt(const std::string& text, const std::string& separator) {
    std::size_t at = separator.empty() ? std::string::npos : text.find(separator);
    if (at == std::string::npos) return {text, std::string()};
    return {text.substr(0, at), text.substr(at + separator.size())};
}

std::vector<std::string> ReadCommaText(const std::string& text) {
    std::vector<std::string> items;
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t p = 0;
    auto skipBlanks = [&] {
        while (p < end && isBlankOrControl(text[p])) ++p;
    };
    skipBlanks();
    while (p < end) {
        std::string item;
        if (text[p] == '"') {
            ++p;
            while (p < end) {
                if (text[p] == '"') {
                    if (p + 1 < end && text[p + 1] == '"') {
                        item += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += text[p++];
            }
        } else {
            std::size_t start = p;
            while (p < end && !isBlankOrControl(text[p]) && text[p] != ',') ++p;
            item = text.substr(start, p - start);
        }
        items.push_back(std::move(item));
        skipBlanks();
        if (p < end && text[p] == ',') {
            ++p;
            if (p == end) items.emplace_back();
            skipBlanks();
        }
    }
    return items;
}

}  // namespace korv
