#include "gallery/heif_library.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "gallery/publish_copy.h"
#include "platform/codepage.h"

namespace korv {
namespace {

// The soname of the major version the program was built against.
std::string sonameBuiltAgainst() {
    return "libheif.so." + std::to_string(LIBHEIF_NUMERIC_VERSION >> 24);
}

template <typename F>
void resolve(void* library, const char* name, F& function, std::string& missing) {
    function = reinterpret_cast<F>(dlsym(library, name));
    if (!function && missing.empty()) missing = name;
}

HeifLibrary load() {
    const std::string soname = sonameBuiltAgainst();
    void* library = dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) throw PictureError("HEIC を読むライブラリ " + soname + " を読み込めません"_cp);
    HeifLibrary h{};
    std::string missing;
    resolve(library, "heif_init", h.init, missing);
    resolve(library, "heif_context_alloc", h.contextAlloc, missing);
    resolve(library, "heif_context_free", h.contextFree, missing);
    resolve(library, "heif_context_read_from_memory_without_copy", h.readFromMemory, missing);
    resolve(library, "heif_context_get_primary_image_handle", h.primaryImageHandle, missing);
    resolve(library, "heif_image_handle_release", h.handleRelease, missing);
    resolve(library, "heif_image_handle_get_width", h.handleWidth, missing);
    resolve(library, "heif_image_handle_get_height", h.handleHeight, missing);
    resolve(library, "heif_image_handle_get_list_of_metadata_block_IDs", h.metadataBlockIds,
            missing);
    resolve(library, "heif_image_handle_get_metadata_size", h.metadataSize, missing);
    resolve(library, "heif_image_handle_get_metadata", h.metadata, missing);
    resolve(library, "heif_image_handle_get_color_profile_type", h.colorProfileType, missing);
    resolve(library, "heif_image_handle_get_raw_color_profile_size", h.rawColorProfileSize,
            missing);
    resolve(library, "heif_image_handle_get_raw_color_profile", h.rawColorProfile, missing);
    resolve(library, "heif_decoding_options_alloc", h.decodingOptionsAlloc, missing);
    resolve(library, "heif_decoding_options_free", h.decodingOptionsFree, missing);
    resolve(library, "heif_decode_image", h.decodeImage, missing);
    resolve(library, "heif_image_release", h.imageRelease, missing);
    resolve(library, "heif_image_get_plane_readonly", h.planeReadonly, missing);
    resolve(library, "heif_image_get_width", h.imageWidth, missing);
    resolve(library, "heif_image_get_height", h.imageHeight, missing);
    if (!missing.empty()) {
        dlclose(library);
        throw PictureError(soname + " に " + missing + " がありません"_cp);
    }
    h.init(nullptr);
    return h;  // the library stays loaded for the rest of the process
}

}  // namespace

const HeifLibrary& heifLibrary() {
    static std::mutex mutex;
    static HeifLibrary library{};
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (!loaded) {
        library = load();  // a failure is tried again at the next HEIC
        loaded = true;
    }
    return library;
}

}  // namespace korv
