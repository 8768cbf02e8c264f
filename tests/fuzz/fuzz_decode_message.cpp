// A received message decoded with its attachments written to a folder: every attachment is a
// regular file directly inside the folder, under the name reported for it. Held in memory and
// written afterwards, the same names hold the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "mail/mime/mime_message.h"
#include "platform/whole_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const korv::fuzz::Scratch scratch;
    static const korv::fuzz::Scratch heldScratch;
    std::string_view raw(reinterpret_cast<const char*>(data), size);
    korv::mail::decodeHeaderTexts(raw);
    bool listed = korv::mail::hasAttachment(raw);
    korv::mail::DecodedMessage m = korv::mail::decodeMessage(raw, scratch.folder());
    scratch.expectExactly(m.attachmentNames);
    if (!m.attachmentError)
        korv::fuzz::check(listed == !m.attachmentNames.empty(),
                          "hasAttachment agrees with what is written");

    korv::mail::DecodedMessage held = korv::mail::decodeMessage(raw, heldScratch.folder(), size);
    korv::mail::writeHeldAttachments(held, heldScratch.folder());
    heldScratch.expectExactly(held.attachmentNames);
    korv::fuzz::check(held.body == m.body, "the body does not depend on where attachments go");
    if (!m.attachmentError && !held.attachmentError) {
        korv::fuzz::check(held.attachmentNames == m.attachmentNames,
                          "held attachments get the names of written ones");
        for (const auto& name : m.attachmentNames)
            korv::fuzz::check(korv::ReadFileToString(scratch.file(name)) ==
                                  korv::ReadFileToString(heldScratch.file(name)),
                              "held attachments get the bytes of written ones");
    }
    scratch.clear();
    heldScratch.clear();
    return 0;
}
