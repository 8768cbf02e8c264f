#pragma once
// The sender of a received message as an address, for rules about who may post.
#include <string>
#include <string_view>

namespace korv::mail {

// The address of the first mailbox in the header's From field, without its display name or
// comments; "" when there is no From or it holds no address.
std::string senderAddress(std::string_view header);

}  // namespace korv::mail
