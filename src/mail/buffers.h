#pragma once
// What every MailLib function shares: the buffer contract and the text of the last error.
#include <exception>
#include <string>
#include <string_view>

#include "mail/mail_error.h"
#include "mail/maillib.h"

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
// The text for a failure that brings no text of its own.
const char* unknownFailure();

// The result code a MailLib call gives for an error of this kind.
int resultCode(MailError::Kind kind);

// Closes every open POP3 handle (at the library's cleanup).
void closeAllPop3Sessions();

// The library answers with result codes and texts: whatever body throws ends here, as its code
// (kMailLibFailed for anything but a MailError) and the last error's text. A call that goes
// through leaves the text alone.
template <class F>
int atBoundary(F&& body) {
    try {
        return body();
    } catch (const MailError& e) {
        setLastError(e.what());
        return resultCode(e.kind());
    } catch (const std::exception& e) {
        setLastError(e.what());
    } catch (...) {
        setLastError(unknownFailure());
    }
    return kMailLibFailed;
}

}  // namespace korv::mail
