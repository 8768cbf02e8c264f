// heic_maker PPM HEIC ORIENTATION EXIF: stores the pixels of a binary PPM as a HEIC with an
// orientation (1 to 8) and an EXIF block (a TIFF structure), as phones store a picture taken
// sideways; heif-enc cannot set an orientation.
#include <libheif/heif.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) return 64;
    std::ifstream in(argv[1], std::ios::binary);
    std::string magic;
    int w = 0, h = 0, max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    if (magic != "P6" || max != 255) return 65;
    heif_image* image = nullptr;
    heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y) in.read(reinterpret_cast<char*>(plane + y * stride), w * 3);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 90);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(std::atoi(argv[3]));
    heif_image_handle* handle = nullptr;
    heif_error e = heif_context_encode_image(ctx, image, encoder, options, &handle);
    std::ifstream exifFile(argv[4], std::ios::binary);
    std::string exif((std::istreambuf_iterator<char>(exifFile)), std::istreambuf_iterator<char>());
    if (e.code == heif_error_Ok)
        e = heif_context_add_exif_metadata(ctx, handle, exif.data(), static_cast<int>(exif.size()));
    if (e.code == heif_error_Ok) e = heif_context_write_to_file(ctx, argv[2]);
    if (e.code != heif_error_Ok) std::fprintf(stderr, "%s\n", e.message);
    return e.code == heif_error_Ok ? 0 : 1;
}
