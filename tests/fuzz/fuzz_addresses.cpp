// Address lists as typed into the compose window: no envelope address handed back holds a CR,
// an LF or a NUL.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mail/smtp_mail.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string list(reinterpret_cast<const char*>(data), size);
    try {
        for (const std::string& address : korv::mail::envelopeAddresses(list, "宛先")) {
            korv::fuzz::check(!address.empty(), "an address is not empty");
            korv::fuzz::check(address.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                              "no CR, LF or NUL in an address");
        }
    } catch (const korv::mail::SmtpError&) {
    }
    return 0;
}
