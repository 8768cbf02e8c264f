#pragma once
// The sender of a received message as an address, for rules about who may post.
#include <string>
#include <string_view>

namespace korv::mail {

// The address of the one mailbox in the header's From field, without its display name, and only
// when it is the address a reader of that field sees: the whole value (an old-style comment after
// it aside) or what its last angle brackets hold at its end. "" otherwise: no From, no address,
// more than one mailbox, a group, or a value the parser reads otherwise than it looks
// ("friend@example.jp@bad.example", text after the brackets).
std::string senderAddress(std::string_view header);

}  // namespace korv::mail
