// A received message decoded with its attachments written to a folder: every attachment is a
// regular file directly inside the folder, under the name reported for it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "mail/mime/mime_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const korv::fuzz::Scratch scratch;
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    korv::mail::decodeHeaderTexts(raw);
    bool listed = korv::mail::hasAttachment(raw);
    korv::mail::DecodedMessage m = korv::mail::decodeMessage(raw, scratch.folder());
    scratch.expectExactly(m.attachmentNames);
    if (!m.attachmentError)
        korv::fuzz::check(listed == !m.attachmentNames.empty(),
                          "hasAttachment agrees with what is written");
    scratch.clear();
    return 0;
}
