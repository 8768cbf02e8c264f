#pragma once
// libheif, loaded at the first HEIC: with its codecs it is a fifth of the libraries the program
// would otherwise load at every start, for pictures most polls never see.
#include <libheif/heif.h>

namespace korv {

struct HeifLibrary {
    decltype(&heif_init) init;
    decltype(&heif_context_alloc) contextAlloc;
    decltype(&heif_context_free) contextFree;
    decltype(&heif_context_read_from_memory_without_copy) readFromMemory;
    decltype(&heif_context_get_primary_image_handle) primaryImageHandle;
    decltype(&heif_image_handle_release) handleRelease;
    decltype(&heif_image_handle_get_width) handleWidth;
    decltype(&heif_image_handle_get_height) handleHeight;
    decltype(&heif_image_handle_get_list_of_metadata_block_IDs) metadataBlockIds;
    decltype(&heif_image_handle_get_metadata_size) metadataSize;
    decltype(&heif_image_handle_get_metadata) metadata;
    decltype(&heif_image_handle_get_color_profile_type) colorProfileType;
    decltype(&heif_image_handle_get_raw_color_profile_size) rawColorProfileSize;
    decltype(&heif_image_handle_get_raw_color_profile) rawColorProfile;
    decltype(&heif_decoding_options_alloc) decodingOptionsAlloc;
    decltype(&heif_decoding_options_free) decodingOptionsFree;
    decltype(&heif_decode_image) decodeImage;
    decltype(&heif_image_release) imageRelease;
    decltype(&heif_image_get_plane_readonly) planeReadonly;
    decltype(&heif_image_get_width) imageWidth;
    decltype(&heif_image_get_height) imageHeight;
};

// Loaded and initialised once; throws PictureError naming the library when it cannot be loaded.
const HeifLibrary& heifLibrary();

}  // namespace korv
