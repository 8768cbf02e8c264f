#include "mail/buffers.h"

#include <cstring>

#include "platform/codepage.h"

namespace korv::mail {

namespace {
std::string& lastErrorText() {
    static std::string text;
    return text;
}
}  // namespace

void copyOut(char* buf, int capacity, std::string_view text) {
    if (!buf || capacity < 1) return;
    std::size_t room = static_cast<std::size_t>(capacity) - 1;
    std::size_t n = 0;
    // Walk by characters so that a cut keeps whole double-byte characters.
    while (n < text.size()) {
        std::size_t step =
            isLeadByte(static_cast<unsigned char>(text[n])) && n + 1 < text.size() ? 2 : 1;
        if (n + step > room) break;
        n += step;
    }
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

void setLastError(std::string cp932) { lastErrorText() = std::move(cp932); }

const char* unknownFailure() {
    static const std::string text = "メールの処理に失敗しました"_cp;
    return text.c_str();
}
const std::string& lastError() { return lastErrorText(); }

int resultCode(MailError::Kind kind) {
    using K = MailError::Kind;
    switch (kind) {
        case K::Failed:
            return kMailLibFailed;
        case K::Refused:
        case K::LoginRefused:
        case K::TooLarge:
            return kMailLibRefused;
        case K::Broken:
            return kMailLibBroken;
        case K::BodyTooLarge:
            return kMailLibBodyTooLarge;
        case K::AttachmentFailed:
            return kMailLibAttachmentFailed;
        case K::ListEnd:
        case K::PartsMissing:
            return kMailLibListEnd;
        case K::Settings:
            return kMailLibSettings;
        case K::Insecure:
            return kMailLibInsecure;
        case K::LoginLater:
            return kMailLibTryLater;
        case K::LoginServerFault:
            return kMailLibServerFault;
    }
    return kMailLibFailed;
}

}  // namespace korv::mail
