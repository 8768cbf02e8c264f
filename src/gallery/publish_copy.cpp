#include "gallery/publish_copy.h"

#include <libheif/heif.h>
#include <turbojpeg.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "gallery/exif_filter.h"
#include "gallery/heif_library.h"
#include "gallery/jpeg_metadata.h"
#include "gallery/png_metadata.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/whole_file.h"

namespace korv {
namespace {

// High enough that a re-encode is not seen; what phones themselves use.
constexpr int kQuality = 92;
// The largest picture that is turned or converted (a 200-megapixel phone picture is below it): a
// few hundred bytes may declare billions of pixels, whose turn would need gigabytes.
constexpr long long kMaxTurnedPixels = 1LL << 28;

struct TjHandle {
    tjhandle h;
    explicit TjHandle(tjhandle handle) : h(handle) {
        if (!h) throw PictureError("JPEG ライブラリを初期化できません"_cp);
    }
    ~TjHandle() { tjDestroy(h); }
    TjHandle(const TjHandle&) = delete;
    TjHandle& operator=(const TjHandle&) = delete;
};

// A buffer TurboJPEG allocated.
struct TjBuffer {
    unsigned char* data = nullptr;
    unsigned long size = 0;
    ~TjBuffer() { tjFree(data); }
    std::string str() const { return {reinterpret_cast<const char*>(data), size}; }
};

bool failed(int result, tjhandle h) { return result != 0 && tjGetErrorCode(h) == TJERR_FATAL; }

std::string compressRgb(const unsigned char* rgb, int width, int pitch, int height, int subsamp) {
    TjHandle c(tjInitCompress());
    TjBuffer out;
    if (failed(tjCompress2(c.h, rgb, width, pitch, height, TJPF_RGB, &out.data, &out.size, subsamp,
                           kQuality, TJFLAG_ACCURATEDCT),
               c.h))
        throw PictureError("JPEG を作れません: "_cp + tjGetErrorStr2(c.h));
    return out.str();
}

// Where stored pixel (x, y) of a w×h picture goes when the orientation is applied.
void placeOf(int orientation, int x, int y, int w, int h, int& dx, int& dy) {
    switch (orientation) {
        case 2:
            dx = w - 1 - x;
            dy = y;
            break;
        case 3:
            dx = w - 1 - x;
            dy = h - 1 - y;
            break;
        case 4:
            dx = x;
            dy = h - 1 - y;
            break;
        case 5:
            dx = y;
            dy = x;
            break;
        case 6:
            dx = h - 1 - y;
            dy = x;
            break;
        case 7:
            dx = h - 1 - y;
            dy = w - 1 - x;
            break;
        case 8:
            dx = y;
            dy = w - 1 - x;
            break;
        default:
            dx = x;
            dy = y;
            break;
    }
}

// Decoded, turned and encoded again: for sizes whose edge blocks a lossless turn would move.
std::optional<std::string> turnByReencoding(const std::string& jpeg, int orientation) {
    TjHandle d(tjInitDecompress());
    const auto* src = reinterpret_cast<const unsigned char*>(jpeg.data());
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(d.h, src, jpeg.size(), &w, &h, &subsamp, &colorspace) != 0)
        return std::nullopt;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
    if (failed(
            tjDecompress2(d.h, src, jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT),
            d.h))
        return std::nullopt;
    const bool swaps = orientation >= 5;
    const int tw = swaps ? h : w, th = swaps ? w : h;
    std::vector<unsigned char> turned(rgb.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int dx, dy;
            placeOf(orientation, x, y, w, h, dx, dy);
            std::copy_n(&rgb[(static_cast<std::size_t>(y) * w + x) * 3], 3,
                        &turned[(static_cast<std::size_t>(dy) * tw + dx) * 3]);
        }
    }
    const int keep = subsamp == TJSAMP_GRAY || subsamp == TJSAMP_444 ? subsamp : TJSAMP_420;
    return compressRgb(turned.data(), tw, 0, th, keep);
}

// The size the JPEG's frame header declares; 0 when it cannot be read.
long long declaredPixels(const std::string& jpeg) {
    TjHandle d(tjInitDecompress());
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(d.h, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(),
                            &w, &h, &subsamp, &colorspace) != 0)
        return 0;
    return static_cast<long long>(w) * h;
}

std::optional<std::string> turnLosslessly(const std::string& jpeg, int orientation) {
    static constexpr int kOps[] = {TJXOP_NONE,   TJXOP_NONE,       TJXOP_HFLIP,
                                   TJXOP_ROT180, TJXOP_VFLIP,      TJXOP_TRANSPOSE,
                                   TJXOP_ROT90,  TJXOP_TRANSVERSE, TJXOP_ROT270};
    TjHandle t(tjInitTransform());
    tjtransform xf{};
    xf.op = kOps[orientation];
    xf.options = TJXOPT_PERFECT | TJXOPT_COPYNONE;
    TjBuffer out;
    if (failed(tjTransform(t.h, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), 1,
                           &out.data, &out.size, &xf, 0),
               t.h))
        return std::nullopt;
    return out.str();
}

PublishCopy jpegCopy(const std::string& bytes, const std::string& extension) {
    auto stripped = stripJpeg(bytes);
    if (!stripped) throw PictureError("JPEG の構造を読めません"_cp);
    if (stripped->orientation == 1) return {std::move(stripped->bytes), extension, ""};
    if (declaredPixels(stripped->bytes) > kMaxTurnedPixels)
        return {std::move(stripped->bytes), extension,
                " (画像が大きすぎるため向きを直さずに公開)"_cp};
    auto turned = turnLosslessly(stripped->bytes, stripped->orientation);
    if (!turned) turned = turnByReencoding(stripped->bytes, stripped->orientation);
    if (!turned)
        return {std::move(stripped->bytes), extension,
                " (画像を解読できないため向きを直さずに公開)"_cp};
    return {withMetadataSegments(*turned, filterExif(stripped->exifTiff, 1), stripped->icc),
            extension, ""};
}

struct HeifFree {
    void operator()(heif_context* p) const { heifLibrary().contextFree(p); }
    void operator()(heif_image_handle* p) const { heifLibrary().handleRelease(p); }
    void operator()(heif_image* p) const { heifLibrary().imageRelease(p); }
    void operator()(heif_decoding_options* p) const { heifLibrary().decodingOptionsFree(p); }
};

void check(heif_error e) {
    if (e.code != heif_error_Ok)
        throw PictureError("HEIC を JPEG に変換できません: "_cp + e.message);
}

// The EXIF of a HEIF begins with the offset of its TIFF header.
std::string heifExif(const HeifLibrary& heif, heif_image_handle* handle) {
    heif_item_id id;
    if (heif.metadataBlockIds(handle, "Exif", &id, 1) < 1) return {};
    std::string data(heif.metadataSize(handle, id), '\0');
    if (data.size() < 4 || heif.metadata(handle, id, data.data()).code) return {};
    std::size_t offset = 0;
    for (int i = 0; i < 4; ++i) offset = offset << 8 | static_cast<unsigned char>(data[i]);
    if (offset > data.size() - 4) return {};
    return filterExif(std::string_view(data).substr(4 + offset), 1);
}

std::string heifIcc(const HeifLibrary& heif, heif_image_handle* handle) {
    const auto type = heif.colorProfileType(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return {};
    std::string icc(heif.rawColorProfileSize(handle), '\0');
    if (heif.rawColorProfile(handle, icc.data()).code) return {};
    return icc;
}

// Decoded with the picture's rotation and mirroring applied (libheif's default), then encoded.
PublishCopy heifCopy(const std::string& bytes) {
    const HeifLibrary& heif = heifLibrary();
    std::unique_ptr<heif_context, HeifFree> ctx(heif.contextAlloc());
    check(heif.readFromMemory(ctx.get(), bytes.data(), bytes.size(), nullptr));
    heif_image_handle* rawHandle = nullptr;
    check(heif.primaryImageHandle(ctx.get(), &rawHandle));
    std::unique_ptr<heif_image_handle, HeifFree> handle(rawHandle);
    if (static_cast<long long>(heif.handleWidth(handle.get())) * heif.handleHeight(handle.get()) >
        kMaxTurnedPixels)
        throw PictureError("HEIC の画像が大きすぎます"_cp);
    std::unique_ptr<heif_decoding_options, HeifFree> options(heif.decodingOptionsAlloc());
    heif_image* rawImage = nullptr;
    check(heif.decodeImage(handle.get(), &rawImage, heif_colorspace_RGB,
                           heif_chroma_interleaved_RGB, options.get()));
    std::unique_ptr<heif_image, HeifFree> image(rawImage);
    int stride = 0;
    const uint8_t* rgb = heif.planeReadonly(image.get(), heif_channel_interleaved, &stride);
    const int w = heif.imageWidth(image.get(), heif_channel_interleaved);
    const int h = heif.imageHeight(image.get(), heif_channel_interleaved);
    if (!rgb || w <= 0 || h <= 0) throw PictureError("HEIC の画像を取り出せません"_cp);
    std::string jpeg = compressRgb(rgb, w, stride, h, TJSAMP_420);
    return {withMetadataSegments(jpeg, heifExif(heif, handle.get()), heifIcc(heif, handle.get())),
            ".jpg", ""};
}

bool isHeif(const std::string& b) {
    if (b.size() < 12 || b.compare(4, 4, "ftyp") != 0) return false;
    const std::string brand = b.substr(8, 4);
    for (const char* known : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"})
        if (brand == known) return true;
    return false;
}

}  // namespace

PublishCopy MakePublishCopy(const std::string& bytes, const std::string& extension) {
    // A phone's export may name a JPEG ".heic": the gallery gets the name of what it holds.
    const bool heifName = extension == ".heic" || extension == ".heif";
    if (bytes.starts_with("\xFF\xD8")) return jpegCopy(bytes, heifName ? ".jpg" : extension);
    if (bytes.starts_with("\x89PNG")) {
        auto png = stripPng(bytes);
        if (!png) throw PictureError("PNG の構造を読めません"_cp);
        return {std::move(*png), heifName ? ".png" : extension, ""};
    }
    if (isHeif(bytes)) return heifCopy(bytes);
    throw PictureError("画像ではありません"_cp);
}

std::int64_t PreparedPicture::size() const {
    if (content) return static_cast<std::int64_t>(content->size());
    std::error_code ec;
    auto n = std::filesystem::file_size(nativePath(file), ec);
    return ec ? -1 : static_cast<std::int64_t>(n);
}

PreparedPicture PreparePicture(const std::string& picture, bool attached, bool keepMetadata,
                               const std::string& defaultImg, const std::string* inMemory) {
    PreparedPicture p;
    p.file = picture;
    p.extension = asciiLower(extensionOf(picture));
    if (!attached || keepMetadata) return p;
    std::string read;
    if (!inMemory) {
        try {
            read = ReadFileToString(picture);
        } catch (const FileError& e) {
            p.readFailure = e.what();
            return p;
        }
    }
    const std::string& bytes = inMemory ? *inMemory : read;
    try {
        PublishCopy copy = MakePublishCopy(bytes, p.extension);
        // Also with nothing to take out: the bytes are in memory already, so the gallery file is
        // written from them instead of opening the picture a second time.
        p.content = std::move(copy.bytes);
        p.extension = copy.extension;
        p.note = copy.note;
    } catch (const PictureError& e) {
        // As a message without a picture, with the reason on the status line.
        if (defaultImg.empty()) {
            p.refusal = " ->"_cp + e.what();
        } else {
            p.file = defaultImg;
            p.extension = asciiLower(extensionOf(defaultImg));
            p.note = " ("_cp + e.what() + ")";
        }
    }
    return p;
}

}  // namespace korv
