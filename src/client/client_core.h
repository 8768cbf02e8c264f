#pragma once
// The parts of the mail-client commands that need no window: header blocks, message bodies,
// the private attachment folder, and the checks and walk of the attachment extraction.
#include <memory>
#include <string>
#include <vector>

namespace korv {

// Each list row owns one header block of this size.
inline constexpr int kHeaderBlockBytes = 8192;

// A zeroed header block.
std::unique_ptr<char[]> NewHeaderBlock();
// Appends CR LF to the text in the block, cut so that the text stays within 8191 characters.
void AppendHeaderLineEnd(char* block);
// The block's text up to its first zero byte (never past the block).
std::string HeaderBlockText(const char* block);

// The lines of a text area joined into a message body, each followed by CR LF.
std::string BuildMessageBody(const std::vector<std::string>& lines);

// A text from mail as one line: every line break (CR LF, lone CR, lone LF) becomes a blank.
std::string OneLine(const std::string& text);

// The fields that thread a reply ("In-Reply-To: ...", CR LF, "References: ...") from the
// original's Message-ID and References values; empty when the original has no usable id. Only
// well-formed message ids are taken over, so a crafted header cannot spoil the reply.
std::string ReplyThreadHeaders(const std::string& messageId, const std::string& references);

// The folder that receives the attachments of a viewed message: a per-user folder with owner-only
// rights under the system's temporary location, created when needed. Raises FileError when the
// name is taken by something that is not a folder of ours. Ends with a path delimiter.
std::string AttachmentFolder();

// What the extraction dialog does with a file the library checked.
enum class PartDecision {
    Add,           // append it to the list
    NoAttachment,  // "添付ファイルが存在しません"
    WrongOrder,    // "分割されたメールデータの順番が正しくありません。"
    Mismatch,      // "分割されたメールデータが一致しません。"
};
// status and id come from the saved-message check (savedMessageStatus); splitId is updated when a
// part 1 is taken.
PartDecision DecidePart(int status, const std::string& id, bool listEmpty, int expectedPart,
                        std::string& splitId);
// The refusal message for a decision other than Add.
std::string RefusalMessage(PartDecision decision);

// The library's check of a saved message file: its status and the split identifier.
struct PartStatus {
    int status = -1;
    std::string id;
};
PartStatus ReadPartStatus(const std::string& path);

// Hands the saved files in order to the library, which writes the attachment into folder.
struct ExtractionResult {
    int status = 0;        // the last result of First or Next
    std::string fileName;  // written attachment's name, when status is 1
    std::string body;      // the message body, when status is 1
};
ExtractionResult ExtractAttachment(const std::vector<std::string>& files,
                                   const std::string& folder);
// The report for an extraction result; empty when nothing is to be shown.
std::string ExtractionReport(const ExtractionResult& result, const std::string& folder);

}  // namespace korv
