// The decoded content of message parts, as bytes or straight into an attachment file.
#include "mail/mime/mime_part_content.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "mail/mime/base64_step.h"
#include "mail/mime/gmime_support.h"

namespace korv::mail {
namespace {

// Reads uuencoded text ("begin" line to "end") decoded. GMime's uudecoder loses its place at CR
// LF line ends past its first buffer, so the lines reach it with LF only.
GPtr<GMimeStream> uudecoding(GMimeStream* encoded) {
    GPtr<GMimeStream> filtered(g_mime_stream_filter_new(encoded));
    GPtr<GMimeFilter> lf(g_mime_filter_dos2unix_new(FALSE));
    GPtr<GMimeFilter> decoder(g_mime_filter_basic_new(GMIME_CONTENT_ENCODING_UUENCODE, FALSE));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), lf.get());
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), decoder.get());
    return filtered;
}

std::string decodedThroughStreams(GMimeStream* encoded) {
    g_mime_stream_reset(encoded);
    auto decoded = uudecoding(encoded);
    std::string out;
    char chunk[65536];
    for (ssize_t n; (n = g_mime_stream_read(decoded.get(), chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<std::size_t>(n));
    g_mime_stream_reset(encoded);
    return out;
}

// Attachments are decoded piece by piece straight into their files: a big one never sits in
// memory a second time beside the received message.
constexpr std::size_t kDecodeChunk = 128 * 1024;

// Scratch memory for decoding, kept for the next attachment.
char* scratch(std::size_t bytes) {
    thread_local std::vector<char> memory;
    if (memory.size() < bytes) memory.resize(bytes);
    return memory.data();
}

void writeUudecoded(GMimeStream* encoded, NewAttachmentFile& file) {
    auto decoded = uudecoding(encoded);
    char* buffer = scratch(kDecodeChunk);
    for (ssize_t n; (n = g_mime_stream_read(decoded.get(), buffer, kDecodeChunk)) > 0;)
        file.write(buffer, static_cast<std::size_t>(n));
}

// Senders that leave out base64's closing '=' still mean the bytes of the last group: the
// padding they left out is given, so that the group is decoded. Returns the bytes written.
std::size_t closeBase64(GMimeEncoding& state, char* out) {
    if (state.encode || state.encoding != GMIME_CONTENT_ENCODING_BASE64) return 0;
    if (state.state == 2) return g_mime_encoding_step(&state, "==", 2, out);
    if (state.state == 3) return g_mime_encoding_step(&state, "=", 1, out);
    return 0;
}

// The bytes of a stream over memory (a part of a message read from memory), where they lie.
std::optional<std::string_view> bytesInMemory(GMimeStream* stream) {
    if (!GMIME_IS_STREAM_MEM(stream)) return std::nullopt;
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    if (!array) return std::nullopt;
    const gint64 start = stream->bound_start;
    const gint64 end = stream->bound_end < 0 ? gint64{array->len} : stream->bound_end;
    if (start < 0 || end < start || end > gint64{array->len}) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(array->data) + start,
                            static_cast<std::size_t>(end - start));
}

}  // namespace

std::string partBytes(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* encoded = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!encoded) return {};
    GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    if (encoding == GMIME_CONTENT_ENCODING_UUENCODE) return decodedThroughStreams(encoded);
    // Decoded straight into the string, with room for all of it from the start: layered
    // streams would copy a big attachment three times and grow it step by step.
    GMimeEncoding state;
    g_mime_encoding_init_decode(&state, encoding);
    std::string out;
    std::size_t used = 0;
    if (std::optional<std::string_view> bytes = bytesInMemory(encoded)) {
        // In one step from where the bytes lie: no copy in pieces through the stream.
        out.resize(g_mime_encoding_outlen(&state, bytes->size()));
        used = decodeStep(state, bytes->data(), bytes->size(), out.data());
    } else {
        gint64 length = g_mime_stream_length(encoded);
        if (length > 0 && length < (gint64{1} << 30))
            out.reserve(g_mime_encoding_outlen(&state, static_cast<std::size_t>(length)));
        g_mime_stream_reset(encoded);
        char chunk[65536];
        for (;;) {
            ssize_t n = g_mime_stream_read(encoded, chunk, sizeof chunk);
            if (n <= 0) break;
            out.resize(used + g_mime_encoding_outlen(&state, static_cast<std::size_t>(n)));
            used += decodeStep(state, chunk, static_cast<std::size_t>(n), out.data() + used);
        }
    }
    out.resize(used + g_mime_encoding_outlen(&state, 4));
    used += closeBase64(state, out.data() + used);
    used += g_mime_encoding_flush(&state, nullptr, 0, out.data() + used);
    out.resize(used);
    g_mime_stream_reset(encoded);
    return out;
}

void writeDecodedPart(GMimePart* part, NewAttachmentFile& file) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* encoded = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!encoded) return;
    GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    g_mime_stream_reset(encoded);
    if (encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        writeUudecoded(encoded, file);
    } else {
        GMimeEncoding state;
        g_mime_encoding_init_decode(&state, encoding);
        char* in = scratch(kDecodeChunk + g_mime_encoding_outlen(&state, kDecodeChunk));
        char* out = in + kDecodeChunk;
        for (ssize_t n; (n = g_mime_stream_read(encoded, in, kDecodeChunk)) > 0;)
            file.write(out, decodeStep(state, in, static_cast<std::size_t>(n), out));
        file.write(out, closeBase64(state, out));
        file.write(out, g_mime_encoding_flush(&state, nullptr, 0, out));
    }
    g_mime_stream_reset(encoded);
}

// A message through a GMime stream on the file, its line ends CR LF as mail carries them (GMime
// writes LF by default); the size check catches a write that the stream did not report.
void writeMessage(GMimeMessage* message, NewAttachmentFile& file) {
    GMimeObject* obj = GMIME_OBJECT(message);
    GMimeObject* content = g_mime_message_get_mime_part(message);
    // Without a header the message is its text alone, not a blank line in front of it.
    if (g_mime_header_list_get_count(g_mime_object_get_header_list(obj)) == 0 && content &&
        GMIME_IS_PART(content) &&
        g_mime_header_list_get_count(g_mime_object_get_header_list(content)) == 0) {
        writeDecodedPart(GMIME_PART(content), file);
        return;
    }
    std::unique_ptr<GMimeFormatOptions, decltype(&g_mime_format_options_free)> format(
        g_mime_format_options_new(), &g_mime_format_options_free);
    g_mime_format_options_set_newline_format(format.get(), GMIME_NEWLINE_FORMAT_DOS);
    GPtr<GMimeStream> counter(g_mime_stream_null_new());
    g_mime_object_write_to_stream(obj, format.get(), counter.get());
    GPtr<GMimeStream> out(g_mime_stream_fs_new(file.fd()));
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(out.get()), FALSE);
    errno = 0;
    ssize_t n = g_mime_object_write_to_stream(obj, format.get(), out.get());
    int err = errno;
    if (n < 0 || g_mime_stream_flush(out.get()) != 0 ||
        ::lseek(file.fd(), 0, SEEK_END) !=
            static_cast<off_t>(GMIME_STREAM_NULL(counter.get())->written))
        file.failed(err != 0 ? err : EIO);
}

void writeUuBlock(std::string_view block, NewAttachmentFile& file) {
    BorrowedStream source(block);
    writeUudecoded(source.get(), file);
}

std::string uuBlockBytes(std::string_view block) {
    BorrowedStream source(block);
    return decodedThroughStreams(source.get());
}

}  // namespace korv::mail
