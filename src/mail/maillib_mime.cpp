// The MailLib functions of the MIME side: sending, header fields and attachment extraction.
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "mail/buffers.h"
#include "mail/maillib.h"
#include "mail/mime/attachment_extract.h"
#include "mail/mime/header_text.h"
#include "mail/mime/mime_message.h"
#include "mail/smtp/smtp_mail.h"
#include "platform/codepage.h"

namespace korv::mail {
namespace {

std::string textOf(const char* s) { return s ? std::string(s) : std::string(); }

// The caller's work area holds only a tag and a number; the state lives here until Close.
constexpr char kWorkTag[4] = {'K', 'M', 'X', '1'};

std::map<std::uint32_t, std::unique_ptr<Extraction>>& extractions() {
    static std::map<std::uint32_t, std::unique_ptr<Extraction>> map;
    return map;
}

Extraction* extractionOf(const void* workArea, std::uint32_t* handle = nullptr) {
    if (!workArea) return nullptr;
    if (std::memcmp(workArea, kWorkTag, sizeof kWorkTag) != 0) return nullptr;
    std::uint32_t h;
    std::memcpy(&h, static_cast<const char*>(workArea) + sizeof kWorkTag, sizeof h);
    auto it = extractions().find(h);
    if (it == extractions().end()) return nullptr;
    if (handle) *handle = h;
    return it->second.get();
}

}  // namespace

int MailLibSmtpSendMail(const char* server, const char* to, const char* cc, const char* bcc,
                        const char* from, const char* subject, const char* body,
                        const char* extraHeaders, const char* attachmentPath, int) {
    // A send that goes through leaves no older text behind.
    setLastError({});
    return atBoundary([&] {
        OutgoingMail mail{
            textOf(from),           textOf(to),           textOf(subject), textOf(body),
            textOf(attachmentPath), textOf(extraHeaders), textOf(cc),      textOf(bcc)};
        sendMail(textOf(server), mail);
        return 0;
    });
}

int MailLibGetHeaderField(char* value, const char* header, const char* fieldName, int size) {
    clearOut(value);
    if (!header || !fieldName) return 0;
    auto text = headerField(header, fieldName);
    if (!text) return 0;
    copyOut(value, size, *text);
    return 1;
}

int MailLibAttachmentFileStatus(const char* messageText, char* id, int size) {
    clearOut(id);
    if (!messageText) return -1;
    SavedStatus s = savedMessageStatus(messageText);
    copyOut(id, size, s.id);
    return s.status;
}

int MailLibAttachmentFileFirst(void* workArea, char* subject, char* date, char* from, char* header,
                               char* body, const char* outputFolder, char* fileName,
                               const char* messageText, int) {
    if (!workArea) return -1;
    static std::uint32_t next = 0;
    std::uint32_t handle = ++next;
    std::memset(workArea, 0, kWorkAreaBytes);
    std::memcpy(workArea, kWorkTag, sizeof kWorkTag);
    std::memcpy(static_cast<char*>(workArea) + sizeof kWorkTag, &handle, sizeof handle);

    // The body buffer is as large as the first saved file, which holds this text.
    std::size_t firstSize = messageText ? std::strlen(messageText) : 0;
    int bodyCapacity = static_cast<int>(std::min<std::size_t>(firstSize, INT32_MAX));
    for (char* b : {subject, date, from, header, fileName}) clearOut(b);
    if (bodyCapacity > 0) clearOut(body);
    ExtractionOutput out{subject,      date,    from, header, bodyCapacity > 0 ? body : nullptr,
                         bodyCapacity, fileName};
    auto& slot = extractions()[handle];
    slot = std::make_unique<Extraction>(out, textOf(outputFolder));
    if (!messageText) return kExtractPartsMissing;
    return atBoundary([&] { return slot->add(messageText); });
}

int MailLibAttachmentFileNext(void* workArea, const char* messageText, int) {
    Extraction* e = extractionOf(workArea);
    if (!e) return -1;
    if (!messageText) return kExtractPartsMissing;
    return atBoundary([&] { return e->add(messageText); });
}

int MailLibAttachmentFileClose(void* workArea) {
    std::uint32_t handle;
    if (!extractionOf(workArea, &handle)) return -1;
    extractions().erase(handle);
    std::memset(workArea, 0, kWorkAreaBytes);
    return 0;
}

}  // namespace korv::mail
