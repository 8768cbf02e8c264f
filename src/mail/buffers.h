#pragma once
// The buffer contract shared by every MailLib function.
#include <string>
#include <string_view>

namespace korv::mail {

// Copies text into buf (capacity bytes in all), cut so that it and its zero fit; a null buffer or
// a capacity below 1 receives nothing. A cut never splits a double-byte CP932 character.
void copyOut(char* buf, int capacity, std::string_view text);
// Empties a MailBuffer (writes only its first byte).
inline void clearOut(char* buf) {
    if (buf) buf[0] = '\0';
}

// The text of the last error, kept per process; MailLibGetMessage hands it out.
void setLastError(std::string cp932);
const std::string& lastError();

}  // namespace korv::mail
