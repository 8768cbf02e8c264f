#include "gallery/heif_library.h"

#include <stdexcept>
#include <string>

#include "gallery/publish_copy.h"
#include "platform/codepage.h"
#include "platform/loaded_library.h"

namespace korv {
namespace {

// The soname of the major version the program was built against.
std::string sonameBuiltAgainst() {
    return "libheif.so." + std::to_string(LIBHEIF_NUMERIC_VERSION >> 24);
}

HeifLibrary load() {
    const std::string soname = sonameBuiltAgainst();
    HeifLibrary h{};
    try {
        LoadedLibrary library(soname);
        library.resolve("heif_init", h.init);
        library.resolve("heif_context_alloc", h.contextAlloc);
        library.resolve("heif_context_free", h.contextFree);
        library.resolve("heif_context_read_from_memory_without_copy", h.readFromMemory);
        library.resolve("heif_context_get_primary_image_handle", h.primaryImageHandle);
        library.resolve("heif_image_handle_release", h.handleRelease);
        library.resolve("heif_image_handle_get_width", h.handleWidth);
        library.resolve("heif_image_handle_get_height", h.handleHeight);
        library.resolve("heif_image_handle_get_list_of_metadata_block_IDs", h.metadataBlockIds);
        library.resolve("heif_image_handle_get_metadata_size", h.metadataSize);
        library.resolve("heif_image_handle_get_metadata", h.metadata);
        library.resolve("heif_image_handle_get_color_profile_type", h.colorProfileType);
        library.resolve("heif_image_handle_get_raw_color_profile_size", h.rawColorProfileSize);
        library.resolve("heif_image_handle_get_raw_color_profile", h.rawColorProfile);
        library.resolve("heif_decoding_options_alloc", h.decodingOptionsAlloc);
        library.resolve("heif_decoding_options_free", h.decodingOptionsFree);
        library.resolve("heif_decode_image", h.decodeImage);
        library.resolve("heif_image_release", h.imageRelease);
        library.resolve("heif_image_get_plane_readonly", h.planeReadonly);
        library.resolve("heif_image_get_width", h.imageWidth);
        library.resolve("heif_image_get_height", h.imageHeight);
        library.ensureComplete();
        library.keep();
    } catch (const std::runtime_error& e) {
        throw PictureError("HEIC を読む"_cp + e.what());
    }
    h.init(nullptr);
    return h;
}

}  // namespace

const HeifLibrary& heifLibrary() { return loadOnce(load); }

}  // namespace korv
