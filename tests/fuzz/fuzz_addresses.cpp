// Address lists as typed into the compose window: no envelope address handed back holds a CR,
// an LF or a NUL.
#include <sanitizer/lsan_interface.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mail/smtp/smtp_mail.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string list(reinterpret_cast<const char*>(data), size);
    // GMime 3.2 leaks a buffer and a name inside internet_address_list_parse when it gives up on a
    // malformed group ("8:|>d>|>0"); its stack is too deep and frame-less to suppress by name.
    __lsan::ScopedDisabler gmimeLeaksGroups;
    try {
        for (const std::string& address : korv::mail::envelopeAddresses(list, "宛先")) {
            korv::fuzz::check(!address.empty(), "an address is not empty");
            korv::fuzz::check(address.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
                              "no CR, LF or NUL in an address");
        }
    } catch (const korv::mail::MailError&) {
    }
    return 0;
}
