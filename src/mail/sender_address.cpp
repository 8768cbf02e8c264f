#include "mail/sender_address.h"

#include <gmime/gmime.h>

#include "mail/header_text.h"
#include "mail/mime_message.h"

namespace korv::mail {
namespace {

std::string firstMailbox(InternetAddressList* list) {
    int n = list ? internet_address_list_length(list) : 0;
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            if (addr && *addr) return addr;
        } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
            std::string inner =
                firstMailbox(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)));
            if (!inner.empty()) return inner;
        }
    }
    return {};
}

}  // namespace

std::string senderAddress(std::string_view header) {
    auto from = findHeaderField(header, "From");
    if (!from) return {};
    ensureMimeInitialised();
    InternetAddressList* list = internet_address_list_parse(nullptr, from->c_str());
    std::string address = firstMailbox(list);
    if (list) g_object_unref(list);
    return address;
}

}  // namespace korv::mail
