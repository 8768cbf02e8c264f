// Header fields, RFC 2047/2231 words and charset conversion: no crash, output of bounded size,
// and toCrLf leaves no lone CR or LF. The first byte picks the charset.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "mail/mime/header_text.h"
#include "platform/charsets.h"
#include "platform/text.h"

namespace {

const char* const kCharsets[] = {"ISO-2022-JP", "UTF-8",  "Shift_JIS",  "EUC-JP",
                                 "UTF-16",      "UTF-7",  "ISO-8859-1", "windows-31j",
                                 "x-unknown",   "GB2312", "KOI8-R",     ""};

// A conversion never makes more than a few bytes per input byte.
void bounded(const std::string& out, std::string_view in) {
    korv::fuzz::check(out.size() <= 4 * in.size() + 64, "output size is bounded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char* charset = kCharsets[data[0] % std::size(kCharsets)];
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    using namespace korv;
    using namespace korv::mail;

    if (auto field = findHeaderField(text, "Subject")) {
        korv::fuzz::check(field->size() <= text.size(), "a field is part of its header");
        bounded(decodeHeaderText(*field), *field);
    }
    bounded(decodeHeaderText(text), text);
    bounded(guessToCp932(text), text);
    bounded(textToCp932(text, charset), text);

    std::string crlf = toCrLf(text);
    korv::fuzz::check(crlf.size() <= 2 * text.size(), "toCrLf at most doubles");
    for (std::size_t i = 0; i < crlf.size(); ++i) {
        if (crlf[i] == '\r')
            korv::fuzz::check(i + 1 < crlf.size() && crlf[i + 1] == '\n', "CR is followed by LF");
        if (crlf[i] == '\n') korv::fuzz::check(i > 0 && crlf[i - 1] == '\r', "LF follows CR");
    }
    return 0;
}
