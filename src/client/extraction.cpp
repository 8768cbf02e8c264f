// The extraction dialog's work: the check of a saved file and the walk over all saved parts.
#include <vector>

#include "client/client_core.h"
#include "mail/mime/attachment_extract.h"
#include "platform/whole_file.h"

namespace korv {

PartStatus ReadPartStatus(const std::string& path) {
    std::string text = ReadFileToString(path);
    // The saved text up to its first zero byte, as the library reads it.
    mail::SavedStatus s = mail::savedMessageStatus(text.c_str());
    PartStatus result;
    result.status = s.status;
    result.id = s.id.substr(0, 8191);  // at most a MailBuffer's text
    return result;
}

ExtractionResult ExtractAttachment(const std::vector<std::string>& files,
                                   const std::string& folder) {
    ExtractionResult result;
    if (files.empty()) return result;
    mail::SavedMessageJoin join(folder);
    for (const auto& file : files) {
        result.status = join.add(ReadFileToString(file));
        if (result.status == mail::kExtractCannotWrite) break;
    }
    if (result.status == mail::kExtractDone) {
        result.fileName = join.fileName();
        result.body = join.body();
    }
    return result;
}

}  // namespace korv
