// Time per picture of the gallery's publish copy for 12-megapixel camera pictures: a JPEG stored
// sideways (orientation 6) at a size a lossless turn takes and at one it does not, an upright JPEG
// (no decode at all) and a HEIC. The pictures are made here: a smooth scene with sensor-like
// noise, so that the encoders do real work.
#include <libheif/heif.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "gallery/jpeg_metadata.h"
#include "gallery/publish_copy.h"

namespace {

std::vector<unsigned char> scene(int w, int h) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
    std::mt19937 rng(7);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
            const int noise = static_cast<int>(rng() % 4);
            p[0] = static_cast<unsigned char>((x * 255 / w + noise) & 0xFF);
            p[1] = static_cast<unsigned char>((y * 255 / h + noise) & 0xFF);
            p[2] = static_cast<unsigned char>(((x + y) * 127 / (w + h) + noise) & 0xFF);
        }
    }
    return rgb;
}

// IFD0 with the orientation alone, little-endian.
std::string exifWithOrientation(int orientation) {
    std::string t("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 18);
    t += static_cast<char>(orientation);
    t += std::string(3, '\0');
    t += std::string(4, '\0');
    return t;
}

std::string jpeg(int w, int h, int orientation) {
    auto rgb = scene(w, h);
    tjhandle c = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(c, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_420, 92, 0) != 0) {
        std::fprintf(stderr, "%s\n", tjGetErrorStr2(c));
        std::exit(1);
    }
    std::string bytes(reinterpret_cast<char*>(out), size);
    tjFree(out);
    tjDestroy(c);
    return korv::withMetadataSegments(bytes, exifWithOrientation(orientation), "");
}

heif_error writeToString(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

std::string heic(int w, int h) {
    auto rgb = scene(w, h);
    heif_image* image = nullptr;
    heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y)
        std::copy_n(&rgb[static_cast<std::size_t>(y) * w * 3], w * 3, plane + y * stride);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 80);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    heif_error e = heif_context_encode_image(ctx, image, encoder, options, nullptr);
    std::string bytes;
    heif_writer writer{1, writeToString};
    if (e.code == heif_error_Ok) e = heif_context_write(ctx, &writer, &bytes);
    if (e.code != heif_error_Ok) {
        std::fprintf(stderr, "HEIC: %s\n", e.message);
        std::exit(1);
    }
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_image_release(image);
    heif_context_free(ctx);
    return bytes;
}

// Whether TurboJPEG can turn the picture by 90 degrees without touching its edge blocks.
const char* turnKind(const std::string& bytes) {
    tjhandle t = tjInitTransform();
    tjtransform xf{};
    xf.op = TJXOP_ROT90;
    xf.options = TJXOPT_PERFECT | TJXOPT_COPYNONE;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int r = tjTransform(t, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                              1, &out, &size, &xf, 0);
    tjFree(out);
    tjDestroy(t);
    return r == 0 ? "lossless turn possible" : "no lossless turn: re-encoded";
}

void measure(const char* what, const std::string& bytes, const std::string& ext, int runs) {
    std::vector<double> times, cpu;
    std::size_t outSize = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        korv::PublishCopy copy = korv::MakePublishCopy(bytes, ext);
        cpu.push_back(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        outSize = copy.bytes.size();
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    // On a shared machine the processor time says more than the wall clock.
    std::printf(
        "%-42s %4.1f MB -> %4.1f MB  wall median %7.1f ms, fastest %7.1f ms; "
        "cpu median %7.1f ms\n",
        what, bytes.size() / 1e6, outSize / 1e6, times[times.size() / 2] * 1e3, times.front() * 1e3,
        cpu[cpu.size() / 2] * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    std::printf("making the pictures...\n");
    const std::string sideways = jpeg(3024, 4032, 6), sidewaysOdd = jpeg(3004, 4004, 6),
                      upright = jpeg(4032, 3024, 1), phone = heic(3024, 4032);
    std::printf("3024x4032: %s; 3004x4004: %s\n", turnKind(sideways), turnKind(sidewaysOdd));
    measure("JPEG 4032x3024, orientation 1 (no decode)", upright, ".jpg", runs);
    measure("JPEG 3024x4032, orientation 6 (lossless)", sideways, ".jpg", runs);
    measure("JPEG 3004x4004, orientation 6 (re-encode)", sidewaysOdd, ".jpg", runs);
    measure("HEIC 3024x4032, rotated 90 (to JPEG)", phone, ".heic", runs);
}
