#include "mail/mime/base64_step.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
// 32 characters to 24 bytes at a time (the nibble-lookup method of Muła and Lemire); stops at the
// first block holding anything but the alphabet. Returns the blocks decoded.
__attribute__((target("avx2"))) std::size_t decodeBlocksAvx2(const unsigned char* in,
                                                             std::size_t blocks,
                                                             unsigned char* out) {
    // Per low and high nibble a class bit: a byte is in the alphabet when its two have none in
    // common (bytes of 0x80 and above have high nibbles whose class meets every low one).
    const __m256i lowClasses =
        _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highClasses =
        _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a character to get its value, by high nibble; index 1 is '/'.
    const __m256i shifts =
        _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                         -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8(0x2F);
    const __m256i pairs = _mm256_set1_epi32(0x01400140);  // a * 64 + b, c * 64 + d
    const __m256i quads = _mm256_set1_epi32(0x00011000);  // (ab) * 4096 + (cd)
    const __m256i bigEndian =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                         10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i packLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    std::size_t done = 0;
    for (; done < blocks; ++done, in += 32, out += 24) {
        const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), slash);
        const __m256i low = _mm256_and_si256(chars, slash);
        if (!_mm256_testz_si256(_mm256_shuffle_epi8(lowClasses, low),
                                _mm256_shuffle_epi8(highClasses, high)))
            break;
        const __m256i isSlash = _mm256_cmpeq_epi8(chars, slash);
        const __m256i values =
            _mm256_add_epi8(chars, _mm256_shuffle_epi8(shifts, _mm256_add_epi8(isSlash, high)));
        const __m256i merged = _mm256_madd_epi16(_mm256_maddubs_epi16(values, pairs), quads);
        const __m256i bytes =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(merged, bigEndian), packLanes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    }
    return done;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

// Decodes whole lines of groups without a test per group: a line holding anything but the
// alphabet is found by the bits of all its values together, and is left as if never decoded.
std::size_t decodeLines(const unsigned char*& in, const unsigned char* end, unsigned char* out) {
    unsigned char* start = out;
    // Lines mostly have one length: where the last one's length ends the next, no search is
    // needed (a line end inside is not in the alphabet: that line is searched after all).
    std::size_t guess = 0;
    while (in < end) {
        const unsigned char* next;
        const bool guessed = guess >= 2 && static_cast<std::size_t>(end - in) >= guess &&
                             in[guess - 1] == '\n' && in[guess - 2] == '\r';
        if (guessed) {
            next = in + guess;
        } else {
            const void* lf = std::memchr(in, '\n', static_cast<std::size_t>(end - in));
            if (!lf) break;
            next = static_cast<const unsigned char*>(lf) + 1;
        }
        const unsigned char* lineEnd = next - 1;
        if (lineEnd > in && lineEnd[-1] == '\r') --lineEnd;
        if ((lineEnd - in) % 4 != 0) break;  // never when guessed
        std::uint32_t all = 0;
        unsigned char* o = out;
        const unsigned char* from = in;
#if defined(__x86_64__)
        if (kHaveAvx2) {
            const auto blocks = static_cast<std::size_t>(lineEnd - in) / 32;
            if (decodeBlocksAvx2(in, blocks, o) != blocks) {
                if (!guessed) break;
                guess = 0;
                continue;
            }
            from += blocks * 32;
            o += blocks * 24;
        }
#endif
        for (const unsigned char* p = from; p < lineEnd; p += 4, o += 3) {
            const std::uint32_t a = kValues[p[0]], b = kValues[p[1]], c = kValues[p[2]],
                                d = kValues[p[3]];
            all |= a | b | c | d;
            const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
            o[0] = static_cast<unsigned char>(bits >> 16);
            o[1] = static_cast<unsigned char>(bits >> 8);
            o[2] = static_cast<unsigned char>(bits);
        }
        if (all >= 64) {
            if (!guessed) break;
            guess = 0;
            continue;
        }
        guess = static_cast<std::size_t>(next - in);
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
