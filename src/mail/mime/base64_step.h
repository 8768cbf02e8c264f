#pragma once
// One step of decoding a transfer encoding, as g_mime_encoding_step does it, only faster for
// base64: whole groups of four between line ends are decoded here, the rest by GMime from the
// same state, so the bytes are the same as GMime's for any input.
#include <gmime/gmime.h>

#include <cstddef>

namespace korv::mail {

// out needs room for g_mime_encoding_outlen(&state, length).
std::size_t decodeStep(GMimeEncoding& state, const char* in, std::size_t length, char* out);

}  // namespace korv::mail
