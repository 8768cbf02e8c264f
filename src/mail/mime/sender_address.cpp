#include "mail/mime/sender_address.h"

#include <gmime/gmime.h>

#include "mail/mime/header_text.h"
#include "mail/mime/mime_message.h"

namespace korv::mail {
namespace {

std::string_view trimmed(std::string_view s) {
    std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The address as the value shows it to a reader.
std::string_view shownAddress(std::string_view value) {
    value = trimmed(value);
    if (std::size_t open = value.rfind('<'); open != std::string_view::npos) {
        if (value.back() != '>') return {};
        return trimmed(value.substr(open + 1, value.size() - open - 2));
    }
    if (!value.empty() && value.back() == ')') value = trimmed(value.substr(0, value.find('(')));
    return value;
}

}  // namespace

std::string senderAddress(std::string_view header) {
    auto from = findHeaderField(header, "From");
    if (!from) return {};
    ensureMimeInitialised();
    // GMime reads leniently ("a@b@c" gives a@b): its address counts only when it is the one shown.
    InternetAddressList* list = internet_address_list_parse(nullptr, from->c_str());
    std::string address;
    if (list && internet_address_list_length(list) == 1) {
        InternetAddress* a = internet_address_list_get_address(list, 0);
        const char* addr = INTERNET_ADDRESS_IS_MAILBOX(a)
                               ? internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a))
                               : nullptr;
        if (addr) address = addr;
    }
    if (list) g_object_unref(list);
    if (address.empty() || shownAddress(*from) != address) return {};
    return address;
}

}  // namespace korv::mail
