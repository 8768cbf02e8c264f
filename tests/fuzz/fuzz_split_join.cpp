// Saved messages, also the parts of a split one, extracted as the extraction window does: the
// input's NUL bytes separate the saved texts. Buffers have the library's sizes, so ASan sees
// every write past them; the names handed back are the files in the folder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "gallery/text_routines.h"
#include "mail/maillib.h"

using namespace korv::mail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const korv::fuzz::Scratch scratch;
    std::vector<std::string> texts;
    const char* p = reinterpret_cast<const char*>(data);
    for (std::size_t start = 0, i = 0; i <= size; ++i)
        if (i == size || p[i] == '\0') {
            texts.emplace_back(p + start, i - start);
            start = i + 1;
        }

    auto id = std::make_unique<char[]>(kMailBufferBytes);
    for (const auto& text : texts)
        MailLibAttachmentFileStatus(text.c_str(), id.get(), kMailTextSize);

    char workArea[kWorkAreaBytes];
    std::vector<std::unique_ptr<char[]>> out;
    for (int i = 0; i < 5; ++i) out.push_back(std::make_unique<char[]>(kMailBufferBytes));
    auto body = std::make_unique<char[]>(texts[0].size());  // as large as the first saved file
    std::string folder = scratch.folder();
    int result =
        MailLibAttachmentFileFirst(workArea, out[0].get(), out[1].get(), out[2].get(), out[3].get(),
                                   body.get(), folder.c_str(), out[4].get(), texts[0].c_str(), 0);
    for (std::size_t i = 1; i < texts.size() && result != -5; ++i)
        result = MailLibAttachmentFileNext(workArea, texts[i].c_str(), 0);
    korv::fuzz::check(MailLibAttachmentFileClose(workArea) == 0, "Close ends the extraction");

    // A list that filled its buffer may have lost names at the cut.
    std::string names = out[4].get();
    if (names.size() < static_cast<std::size_t>(kMailTextSize) - 1)
        scratch.expectExactly(korv::ReadCommaText(names));
    scratch.clear();
    return 0;
}
