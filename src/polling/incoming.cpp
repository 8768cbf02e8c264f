#include "polling/incoming.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "activity/status_log.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "polling/poll.h"
#include "polling/uidl_ledger.h"

namespace korv {
namespace {

constexpr const char* kIncoming = ".incoming";
constexpr const char* kJournal = "journal";
constexpr const char* kEnd = "end";

std::string incomingDir(const std::string& accountFolder) {
    return accountFolder + kIncoming + kPathDelimiter;
}

SharedFile openJournal(const std::string& accountFolder) {
    // Checked without the trailing delimiter, which would follow the link.
    if (isSymbolicLink(accountFolder + kIncoming)) throwLinkRefused(accountFolder + kIncoming);
    const std::string dir = incomingDir(accountFolder);
    ensureFolders(dir);
    return SharedFile::open(dir + kJournal, SharedFile::Access::CreateReadWrite,
                            SharedFile::Lock::Exclusive, Links::Refuse);
}

// Anything under that name, a dangling link included.
bool present(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(nativePath(path), ec));
}

void logLine(StatusLog& status, const std::string& text) {
    status.BeginStatusLine();
    status.AppendStatus(text);
    status.WriteStatusToLog();
}

// A link where the program keeps its own files goes as a link; the log says so once.
bool removedAsLink(const std::string& path, StatusLog& status) {
    if (!isSymbolicLink(path)) return false;
    if (::unlink(nativePath(path).c_str()) != 0)
        throw FileError(path + " を削除できません: "_cp + utf8ToCp932(std::strerror(errno)));
    logLine(status, "復旧 "_cp + path + " はシンボリックリンクなので、リンクだけを削除しました"_cp);
    return true;
}

// Undoes the gallery files of a message that never counted; what cannot be undone is said once.
void undoFiles(const MessageIntent& intent, StatusLog& status, HandOff* handOff) {
    std::string gallery;
    std::string noGallery =
        "アカウント「"_cp + intent.account + "」のギャラリーフォルダーがありません"_cp;
    try {
        if (handOff && !intent.account.empty()) gallery = handOff->galleryFolder(intent.account);
    } catch (const std::exception& e) {  // its session file: said below, never a failed pass
        noGallery = e.what();
    }
    for (const auto& file : intent.files) {
        try {
            if (gallery.empty()) {
                if (present(file)) throw FileError(file + " を削除しません: "_cp + noGallery);
                continue;
            }
            removeFileInside(file, gallery);
        } catch (const FileError& e) {
            logLine(status, "復旧 取り消せません: "_cp + e.what());
        }
    }
}

void removeAll(const std::filesystem::path& path) {
    std::error_code ec;
    // Never through a link: a link is removed itself, and nothing it points to.
    std::filesystem::remove_all(path, ec);
    if (ec)
        throw FileError(fromNativePath(path) + " を削除できません: "_cp +
                        utf8ToCp932(ec.message()));
}

}  // namespace

// "<length>\r\n" and the record: each message's record is written over the last one without
// cutting the file, so a shorter record leaves the longer one's tail behind it, and a record
// written only in part (a kill in mid-write) does not end where its length says.
std::string formatIntent(const MessageIntent& intent) {
    std::string record =
        "id=" + intent.id + "\r\nfolder=" + intent.folder + "\r\nto=" + intent.target + "\r\n";
    for (const auto& file : intent.files) record += "file=" + file + "\r\n";
    if (!intent.account.empty()) record += "account=" + intent.account + "\r\n";
    if (!intent.line.empty()) record += "line=" + replaceLineBreaks(intent.line, " ") + "\r\n";
    record += std::string(kEnd) + "\r\n";
    return std::to_string(record.size()) + "\r\n" + record;
}

std::optional<MessageIntent> parseIntent(const std::string& text) {
    std::size_t head = text.find("\r\n");
    if (head == std::string::npos || head == 0 || head > 9 ||
        text.find_first_not_of("0123456789", 0) < head)
        return std::nullopt;
    std::size_t length = std::stoul(text.substr(0, head));
    std::size_t start = head + 2;
    const std::string tail = std::string(kEnd) + "\r\n";
    if (text.size() < start + length || length < tail.size() ||
        text.compare(start + length - tail.size(), tail.size(), tail) != 0)
        return std::nullopt;
    const std::string record = text.substr(start, length - tail.size());
    MessageIntent intent;
    bool hasId = false, hasFolder = false, hasTarget = false;
    for (std::size_t at = 0; at < record.size();) {
        std::size_t end = record.find("\r\n", at);
        if (end == std::string::npos) return std::nullopt;
        std::string line = record.substr(at, end - at);
        at = end + 2;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) return std::nullopt;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "id") {
            intent.id = value;
            hasId = true;
        } else if (key == "folder") {
            intent.folder = value;
            hasFolder = !value.empty();
        } else if (key == "to") {
            intent.target = value;
            hasTarget = !value.empty();
        } else if (key == "file") {
            intent.files.push_back(value);
        } else if (key == "account") {
            intent.account = value;
        } else if (key == "line") {
            intent.line = value;
        } else {
            return std::nullopt;
        }
    }
    if (!hasId || !hasFolder || !hasTarget) return std::nullopt;
    return intent;
}

namespace {

void recover(const std::string& accountFolder, StatusLog& status, HandOff* handOff) {
    const std::string dir = incomingDir(accountFolder);
    // What a link there points to was never ours: nothing of it is recovered or removed.
    if (removedAsLink(accountFolder + kIncoming, status) || !folderExists(dir)) return;
    std::optional<SharedFile> journal;
    if (!removedAsLink(dir + kJournal, status))
        journal = SharedFile::openIfExists(dir + kJournal, SharedFile::Access::ReadWrite,
                                           SharedFile::Lock::Exclusive, Links::Refuse);
    if (journal) {
        if (auto intent = parseIntent(journal->readAll())) {
            const std::string ledgerPath = accountFolder + kLedgerName;
            UidlLedger ledger = UidlLedger::load(ledgerPath);
            bool moved =
                !folderExists(dir + intent->folder) && folderExists(accountFolder + intent->target);
            if (!ledger.contains(intent->id)) {
                if (moved) {
                    // Stopped between the move and the ledger: the message is whole, so it
                    // counts, and its line is logged as the pass would have.
                    ledger.add(intent->id);
                    ledger.save(ledgerPath);
                    if (!intent->line.empty()) status.WriteEarlierLine(intent->line);
                } else {
                    undoFiles(*intent, status, handOff);
                }
            }
        }
        journal->rewrite("");
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(nativePath(dir), ec))
        if (entry.path().filename() != kJournal) removeAll(entry.path());
}

}  // namespace

void RecoverInterruptedPass(const std::string& accountFolder, StatusLog& status, HandOff* handOff) {
    const std::string before = status.StatusLine();
    recover(accountFolder, status, handOff);
    // The stars of this pass go on a fresh line, not on a recovered one.
    if (status.StatusLine() != before) status.BeginStatusLine();
}

Incoming::Incoming(std::string accountFolder)
    : accountFolder_(std::move(accountFolder)),
      dir_(incomingDir(accountFolder_)),
      journal_(openJournal(accountFolder_)) {}

std::string Incoming::newFolder() {
    std::string native = nativePath(dir_).string();
    std::string pattern = native + "/mXXXXXX";
    if (!::mkdtemp(pattern.data())) throwWriteError(dir_, errno);
    return pattern.substr(native.size() + 1);  // ASCII: the same in both code pages
}

std::string Incoming::folderPath(const std::string& name) const {
    return dir_ + name + kPathDelimiter;
}

void Incoming::intend(const MessageIntent& intent) { journal_.writeAtStart(formatIntent(intent)); }

void Incoming::withdraw() { journal_.rewrite(""); }

void Incoming::discard(const std::string& name) { removeAll(nativePath(dir_ + name)); }

}  // namespace korv
