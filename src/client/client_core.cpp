#include "client/client_core.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace korv {

std::unique_ptr<char[]> NewHeaderBlock() { return std::make_unique<char[]>(kHeaderBlockBytes); }

void AppendHeaderLineEnd(char* block) {
    constexpr std::size_t limit = kHeaderBlockBytes - 1;
    std::size_t n = strnlen(block, limit);
    for (char c : {'\r', '\n'}) {
        if (n >= limit) break;
        block[n++] = c;
    }
    block[n] = '\0';
}

std::string HeaderBlockText(const char* block) {
    return std::string(block, strnlen(block, kHeaderBlockBytes));
}

std::string BuildMessageBody(const std::vector<std::string>& lines) {
    std::string body;
    for (const auto& line : lines) body += line + "\r\n";
    return body;
}

std::string OneLine(const std::string& text) { return replaceLineBreaks(text, " "); }

namespace {

// Longer ids exist only in crafted mail; they would not fit a header line either.
constexpr std::size_t kMaxMessageIdLength = 250;

// The "<...>" ids of a field value, each printable ASCII without blanks or angle brackets.
std::vector<std::string> messageIds(const std::string& value) {
    std::vector<std::string> ids;
    for (std::size_t open = value.find('<'); open != std::string::npos;
         open = value.find('<', open + 1)) {
        std::size_t close = value.find('>', open);
        if (close == std::string::npos) break;
        std::string id = value.substr(open, close - open + 1);
        bool wellFormed = id.size() > 2 && id.size() <= kMaxMessageIdLength;
        for (std::size_t i = 1; i + 1 < id.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(id[i]);
            if (c < 0x21 || c > 0x7E || c == '<') wellFormed = false;
        }
        if (wellFormed) ids.push_back(id);
        open = close;
    }
    return ids;
}

}  // namespace

std::string ReplyThreadHeaders(const std::string& messageId, const std::string& references) {
    auto own = messageIds(messageId);
    if (own.empty()) return {};
    std::vector<std::string> chain = messageIds(references);
    if (chain.empty() || chain.back() != own.front()) chain.push_back(own.front());
    std::string refs;
    for (const auto& id : chain) refs += (refs.empty() ? "" : " ") + id;
    return "In-Reply-To: " + own.front() + "\r\nReferences: " + refs;
}

std::string AttachmentFolder() {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::filesystem::path folder = base / ("korvanto-" + std::to_string(geteuid()));
    std::string name = fromNativePath(folder);
    if (mkdir(folder.c_str(), 0700) != 0) {
        int err = errno;
        if (err != EEXIST) throwWriteError(name, err);
        // Someone else may have put something here first; we never write into it then.
        struct stat st {};
        if (lstat(folder.c_str(), &st) != 0) throwOpenError(name, errno);
        if (!S_ISDIR(st.st_mode)) throw FileError(name + " はフォルダではありません"_cp);
        if (st.st_uid != geteuid()) throw FileError(name + " は他のユーザーのフォルダです"_cp);
        if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)
            throwWriteError(name, errno);
    }
    return withTrailingDelimiter(name);
}

PartDecision DecidePart(int status, const std::string& id, bool listEmpty, int expectedPart,
                        std::string& splitId) {
    bool acceptable = (status == 0 && listEmpty) || status == expectedPart;
    if (!acceptable) return status < 0 ? PartDecision::NoAttachment : PartDecision::WrongOrder;
    if (status == 1) splitId = id;
    if (status != 0 && id != splitId) return PartDecision::Mismatch;
    return PartDecision::Add;
}

std::string RefusalMessage(PartDecision decision) {
    switch (decision) {
        case PartDecision::NoAttachment:
            return "添付ファイルが存在しません"_cp;
        case PartDecision::WrongOrder:
            return "分割されたメールデータの順番が正しくありません。"_cp;
        case PartDecision::Mismatch:
            return "分割されたメールデータが一致しません。"_cp;
        case PartDecision::Add:
            break;
    }
    return {};
}

std::string ExtractionReport(const ExtractionResult& result, const std::string& folder) {
    switch (result.status) {
        case 1:
            return folder + " に添付ファイル "_cp + result.fileName + " を作成しました。"_cp +
                   "\r\n\r\n本文:\r\n"_cp + result.body;
        case -5:
            return "添付ファイルをオープンできません。"_cp;
        case -6:
            return "分割されたメールが全て揃っていません。"_cp;
        default:
            return {};
    }
}

}  // namespace korv
