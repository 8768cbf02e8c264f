#include "mail/mime/base64_step.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace korv::mail {
namespace {

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeValues() {
    std::array<std::uint8_t, 256> values{};
    for (auto& v : values) v = kInvalid;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = i;
    return values;
}
constexpr std::array<std::uint8_t, 256> kValues = makeValues();

// Decodes whole lines of groups without a test per group: a line holding anything but the
// alphabet is found by the bits of all its values together, and is left as if never decoded.
std::size_t decodeLines(const unsigned char*& in, const unsigned char* end, unsigned char* out) {
    unsigned char* start = out;
    while (in < end) {
        const void* lf = std::memchr(in, '\n', static_cast<std::size_t>(end - in));
        if (!lf) break;
        const auto* next = static_cast<const unsigned char*>(lf) + 1;
        const unsigned char* lineEnd = next - 1;
        if (lineEnd > in && lineEnd[-1] == '\r') --lineEnd;
        if ((lineEnd - in) % 4 != 0) break;
        std::uint32_t all = 0;
        unsigned char* o = out;
        for (const unsigned char* p = in; p < lineEnd; p += 4, o += 3) {
            const std::uint32_t a = kValues[p[0]], b = kValues[p[1]], c = kValues[p[2]],
                                d = kValues[p[3]];
            all |= a | b | c | d;
            const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
            o[0] = static_cast<unsigned char>(bits >> 16);
            o[1] = static_cast<unsigned char>(bits >> 8);
            o[2] = static_cast<unsigned char>(bits);
        }
        if (all >= 64) break;
        out = o;
        in = next;
    }
    return static_cast<std::size_t>(out - start);
}

// Decodes groups of four alphabet characters and skips the line ends between them; stops before
// anything else (padding, a stray byte, a group cut by a line end), where GMime goes on. Between
// whole groups GMime's state is empty, so what it decodes next comes out the same.
std::size_t decodeGroups(const unsigned char*& in, const unsigned char* end, unsigned char* out) {
    unsigned char* start = out;
    out += decodeLines(in, end, out);
    while (end - in >= 4) {
        const std::uint32_t a = kValues[in[0]], b = kValues[in[1]], c = kValues[in[2]],
                            d = kValues[in[3]];
        if ((a | b | c | d) < 64) {
            const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
            out[0] = static_cast<unsigned char>(bits >> 16);
            out[1] = static_cast<unsigned char>(bits >> 8);
            out[2] = static_cast<unsigned char>(bits);
            out += 3;
            in += 4;
        } else if (in[0] == '\r' && in[1] == '\n') {
            in += 2;
        } else if (in[0] == '\n') {
            in += 1;
        } else {
            break;
        }
    }
    return static_cast<std::size_t>(out - start);
}

}  // namespace

std::size_t decodeStep(GMimeEncoding& state, const char* in, std::size_t length, char* out) {
    if (state.encode || state.encoding != GMIME_CONTENT_ENCODING_BASE64)
        return g_mime_encoding_step(&state, in, length, out);
    auto* p = reinterpret_cast<const unsigned char*>(in);
    const auto* end = p + length;
    auto* o = reinterpret_cast<unsigned char*>(out);
    std::size_t written = 0;
    while (p < end) {
        if (state.state == 0) written += decodeGroups(p, end, o + written);
        if (p == end) break;
        // GMime takes the rest of the line (where the groups do not fit the line, or padding).
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        const auto* lineEnd = lf ? static_cast<const unsigned char*>(lf) + 1 : end;
        written += g_mime_encoding_step(&state, reinterpret_cast<const char*>(p),
                                        static_cast<std::size_t>(lineEnd - p),
                                        reinterpret_cast<char*>(o + written));
        p = lineEnd;
    }
    return written;
}

}  // namespace korv::mail
