#include "polling/incoming.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "polling/uidl_ledger.h"

namespace korv {
namespace {

constexpr const char* kIncoming = ".incoming";
constexpr const char* kJournal = "journal";
constexpr const char* kEnd = "end";

std::string incomingDir(const std::string& accountFolder) {
    return accountFolder + kIncoming + kPathDelimiter;
}

SharedFile openJournal(const std::string& dir) {
    ensureFolders(dir);
    return SharedFile::open(dir + kJournal, SharedFile::Access::CreateReadWrite,
                            SharedFile::Lock::Exclusive);
}

void removeFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(nativePath(path), ec);
    if (ec) throw FileError(path + " を削除できません: "_cp + utf8ToCp932(ec.message()));
}

void removeAll(const std::filesystem::path& path) {
    std::error_code ec;
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
        } else {
            return std::nullopt;
        }
    }
    if (!hasId || !hasFolder || !hasTarget) return std::nullopt;
    return intent;
}

void RecoverInterruptedPass(const std::string& accountFolder) {
    const std::string dir = incomingDir(accountFolder);
    if (!folderExists(dir)) return;
    auto journal = SharedFile::openIfExists(dir + kJournal, SharedFile::Access::ReadWrite,
                                            SharedFile::Lock::Exclusive);
    if (journal) {
        if (auto intent = parseIntent(journal->readAll())) {
            const std::string ledgerPath = accountFolder + "UIDL.txt";
            UidlLedger ledger = UidlLedger::load(ledgerPath);
            bool moved =
                !folderExists(dir + intent->folder) && folderExists(accountFolder + intent->target);
            if (!ledger.contains(intent->id)) {
                if (moved) {
                    // Killed between the move and the ledger: the message is whole, so it counts.
                    ledger.add(intent->id);
                    ledger.save(ledgerPath);
                } else {
                    for (const auto& file : intent->files) removeFile(file);
                }
            }
        }
        journal->rewrite("");
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(nativePath(dir), ec))
        if (entry.path().filename() != kJournal) removeAll(entry.path());
}

Incoming::Incoming(std::string accountFolder)
    : accountFolder_(std::move(accountFolder)),
      dir_(incomingDir(accountFolder_)),
      journal_(openJournal(dir_)) {}

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
