// A name from mail made safe and created twice in a folder: each file lands directly inside it,
// one per name reported (the second under a free variant), or FileError says why not.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "mail/mime/attachment_names.h"
#include "platform/file_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const korv::fuzz::Scratch scratch;
    std::string_view fromMail(reinterpret_cast<const char*>(data), size);
    std::string name = korv::mail::safeAttachmentName(fromMail, "attachment.bin");
    korv::fuzz::check(!name.empty(), "a safe name is never empty");

    // A NUL cuts the name the system gets, so every variant meets the first file and the search
    // for a free one takes seconds: once is enough then.
    const int times = name.find('\0') == std::string::npos ? 2 : 1;
    std::vector<std::string> written;
    korv::mail::TakenNames taken;
    try {
        for (int i = 0; i < times; ++i)
            written.push_back(
                korv::mail::writeNewAttachment(scratch.folder(), name, "data", taken));
    } catch (const korv::FileError&) {
    }
    if (written.size() == 2) korv::fuzz::check(written[0] != written[1], "a file is never reused");
    scratch.expectInside(written);
    scratch.clear();
    return 0;
}
