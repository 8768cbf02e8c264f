#include "gallery/exif_filter.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace korv {
namespace {

constexpr std::uint16_t kOrientation = 0x0112;
constexpr std::uint16_t kExifPointer = 0x8769;

// A whitelist: a tag added to EXIF later (a new location or owner field) stays out.
constexpr std::uint16_t kKeptInIfd0[] = {
    0x010F,                  // Make
    0x0110,                  // Model
    0x0112,                  // Orientation
    0x011A, 0x011B, 0x0128,  // resolution
    0x0131,                  // Software
    0x0132,                  // DateTime
    0x0213,                  // YCbCrPositioning
};
constexpr std::uint16_t kKeptInExif[] = {
    0x829A, 0x829D, 0x8822, 0x8827, 0x8830,          // exposure time, f-number, program, ISO
    0x9000, 0x9003, 0x9004, 0x9010, 0x9011, 0x9012,  // version, dates and their time zones
    0x9101, 0x9201, 0x9202, 0x9203, 0x9204, 0x9205, 0x9207, 0x9208,
    0x9209, 0x920A, 0x9290, 0x9291, 0x9292,  // sub-second times
    0xA000, 0xA001, 0xA217, 0xA402, 0xA403, 0xA404, 0xA405, 0xA406,
    0xA408, 0xA409, 0xA40A, 0xA432, 0xA433, 0xA434,  // lens range, make and model (not its serial
                                                     // number)
};

std::size_t typeSize(std::uint16_t type) {
    switch (type) {
        case 1:
        case 2:
        case 6:
        case 7:
            return 1;
        case 3:
        case 8:
            return 2;
        case 4:
        case 9:
        case 11:
            return 4;
        case 5:
        case 10:
        case 12:
            return 8;
        default:
            return 0;
    }
}

struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count;
    std::string value;  // count * size bytes, in the structure's byte order
};

class Tiff {
  public:
    explicit Tiff(std::string_view d) : d_(d) {}
    bool readHeader() {
        if (d_.size() < 8) return false;
        if (d_.substr(0, 4) == std::string_view("II*\0", 4)) {
            little_ = true;
        } else if (d_.substr(0, 4) == std::string_view("MM\0*", 4)) {
            little_ = false;
        } else {
            return false;
        }
        return true;
    }
    bool little() const { return little_; }
    // A value of 2 or 4 bytes in the structure's byte order.
    std::uint32_t number(std::string_view bytes) const {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::size_t at = little_ ? bytes.size() - 1 - i : i;
            v = v << 8 | static_cast<unsigned char>(bytes[at]);
        }
        return v;
    }
    std::optional<std::uint32_t> u32(std::size_t at) const {
        if (at > d_.size() || d_.size() - at < 4) return std::nullopt;
        auto b = [&](std::size_t i) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(d_[at + i]));
        };
        return little_ ? b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24
                       : b(3) | b(2) << 8 | b(1) << 16 | b(0) << 24;
    }
    std::optional<std::uint16_t> u16(std::size_t at) const {
        if (at > d_.size() || d_.size() - at < 2) return std::nullopt;
        auto b = [&](std::size_t i) {
            return static_cast<std::uint16_t>(static_cast<unsigned char>(d_[at + i]));
        };
        return static_cast<std::uint16_t>(little_ ? b(0) | b(1) << 8 : b(1) | b(0) << 8);
    }
    // The IFD's entries; nullopt when it runs past the end.
    std::optional<std::vector<Entry>> ifd(std::size_t at) const {
        auto n = u16(at);
        if (!n || (d_.size() - at - 2) / 12 < *n) return std::nullopt;
        std::vector<Entry> out;
        for (std::size_t i = 0; i < *n; ++i) {
            std::size_t e = at + 2 + 12 * i;
            Entry entry{*u16(e), *u16(e + 2), *u32(e + 4), {}};
            std::size_t size = typeSize(entry.type);
            if (size == 0 || entry.count > d_.size()) continue;  // unknown type: not kept
            std::size_t bytes = size * entry.count;
            std::size_t from = e + 8;
            if (bytes > 4) {
                from = *u32(e + 8);
                if (from > d_.size() || d_.size() - from < bytes) continue;
            }
            entry.value = std::string(d_.substr(from, bytes));
            out.push_back(std::move(entry));
        }
        return out;
    }

  private:
    std::string_view d_;
    bool little_ = true;
};

class Writer {
  public:
    explicit Writer(bool little) : little_(little) {}
    void u16(std::string& s, std::uint16_t v) const {
        char b[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
        if (!little_) std::swap(b[0], b[1]);
        s.append(b, 2);
    }
    void u32(std::string& s, std::uint32_t v) const {
        char b[4];
        for (int i = 0; i < 4; ++i) b[little_ ? i : 3 - i] = static_cast<char>(v >> (8 * i));
        s.append(b, 4);
    }
    // Appends an IFD at the end of out (at an even offset), its long values after it.
    std::size_t ifd(std::string& out, const std::vector<Entry>& entries) const {
        if (out.size() % 2) out.push_back('\0');
        const std::size_t at = out.size();
        std::size_t data = at + 2 + 12 * entries.size() + 4;
        std::string table, values;
        u16(table, static_cast<std::uint16_t>(entries.size()));
        for (const auto& e : entries) {
            u16(table, e.tag);
            u16(table, e.type);
            u32(table, e.count);
            if (e.value.size() <= 4) {
                table += e.value;
                table.append(4 - e.value.size(), '\0');
            } else {
                u32(table, static_cast<std::uint32_t>(data + values.size()));
                values += e.value;
                if (values.size() % 2) values.push_back('\0');
            }
        }
        u32(table, 0);  // no next IFD: the thumbnail's IFD1 stays behind
        out += table;
        out += values;
        return at;
    }

  private:
    bool little_;
};

std::vector<Entry> keep(std::vector<Entry> entries, const auto& kept) {
    std::erase_if(entries, [&](const Entry& e) {
        return std::find(std::begin(kept), std::end(kept), e.tag) == std::end(kept);
    });
    return entries;
}

}  // namespace

int exifOrientation(std::string_view tiff) {
    Tiff t(tiff);
    if (!t.readHeader()) return 1;
    auto entries = t.ifd(*t.u32(4));
    if (!entries) return 1;
    for (const auto& e : *entries) {
        if (e.tag == kOrientation && e.type == 3 && e.count == 1) {
            const std::uint32_t value = t.number(e.value);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

std::string filterExif(std::string_view tiff, int orientation) {
    Tiff t(tiff);
    if (!t.readHeader()) return {};
    auto ifd0 = t.ifd(*t.u32(4));
    if (!ifd0) return {};
    std::vector<Entry> exif;
    std::optional<std::uint32_t> exifAt;
    for (const auto& e : *ifd0)
        if (e.tag == kExifPointer && e.type == 4 && e.count == 1) exifAt = t.number(e.value);
    if (exifAt) {
        if (auto entries = t.ifd(*exifAt)) exif = keep(std::move(*entries), kKeptInExif);
    }
    std::vector<Entry> first = keep(std::move(*ifd0), kKeptInIfd0);
    Writer w(t.little());
    if (orientation > 0) {
        for (auto& e : first) {
            if (e.tag != kOrientation) continue;
            e.type = 3;
            e.count = 1;
            e.value.clear();
            w.u16(e.value, static_cast<std::uint16_t>(orientation));
        }
    }
    if (first.empty() && exif.empty()) return {};
    if (!exif.empty()) {
        Entry pointer{kExifPointer, 4, 1, std::string(4, '\0')};
        auto pos = std::find_if(first.begin(), first.end(),
                                [](const Entry& e) { return e.tag > kExifPointer; });
        first.insert(pos, pointer);
    }
    std::string out(tiff.substr(0, 4));
    w.u32(out, 8);
    w.ifd(out, first);
    if (!exif.empty()) {
        const std::size_t exifIfd = w.ifd(out, exif);
        // Patch the pointer entry's value now that the Exif IFD has its place.
        for (std::size_t i = 0; i < first.size(); ++i) {
            if (first[i].tag != kExifPointer) continue;
            std::string v;
            w.u32(v, static_cast<std::uint32_t>(exifIfd));
            out.replace(8 + 2 + 12 * i + 8, 4, v);
        }
    }
    return out;
}

}  // namespace korv
