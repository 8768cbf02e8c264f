// The extraction dialog's calls into the mail library: the check of a saved file and the walk
// over all saved parts.
#include <cstring>
#include <vector>

#include "client/client_core.h"
#include "mail/maillib.h"
#include "platform/whole_file.h"

namespace korv {

namespace {

std::string bufferText(const std::vector<char>& buffer) {
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

}  // namespace

PartStatus ReadPartStatus(const std::string& path) {
    std::string text = ReadFileToString(path);
    std::vector<char> id(mail::kMailBufferBytes, '\0');
    PartStatus result;
    result.status = mail::MailLibAttachmentFileStatus(text.c_str(), id.data(), mail::kMailTextSize);
    result.id = bufferText(id);
    return result;
}

ExtractionResult ExtractAttachment(const std::vector<std::string>& files,
                                   const std::string& folder) {
    ExtractionResult result;
    if (files.empty()) return result;
    std::vector<char> workArea(mail::kWorkAreaBytes, '\0');
    std::vector<char> subject(mail::kMailBufferBytes, '\0'), date(mail::kMailBufferBytes, '\0'),
        from(mail::kMailBufferBytes, '\0'), header(mail::kMailBufferBytes, '\0'),
        fileName(mail::kMailBufferBytes, '\0');
    std::vector<char> body;

    // The library's extraction state is released also when a later file cannot be read.
    struct CloseOnExit {
        void* workArea = nullptr;
        ~CloseOnExit() {
            if (workArea) mail::MailLibAttachmentFileClose(workArea);
        }
    } closer;

    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string text = ReadFileToString(files[i]);
        if (i == 0) {
            // The body of the joined message is never larger than the first saved file.
            body.assign(text.size(), '\0');
            result.status = mail::MailLibAttachmentFileFirst(
                workArea.data(), subject.data(), date.data(), from.data(), header.data(),
                body.empty() ? nullptr : body.data(), folder.c_str(), fileName.data(), text.c_str(),
                0);
            closer.workArea = workArea.data();
        } else {
            result.status = mail::MailLibAttachmentFileNext(workArea.data(), text.c_str(), 0);
        }
        if (result.status == -5) break;
    }
    closer.workArea = nullptr;
    mail::MailLibAttachmentFileClose(workArea.data());

    if (result.status == 1) {
        result.fileName = bufferText(fileName);
        if (!body.empty()) result.body = bufferText(body);
    }
    return result;
}

}  // namespace korv
