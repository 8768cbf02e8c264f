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

std::string formatIntent(const MessageIntent& intent) {
    std::string text =
        "id=" + intent.id + "\r\nfolder=" + intent.folder + "\r\nto=" + intent.target + "\r\n";
    for (const auto& file : intent.files) text += "file=" + file + "\r\n";
    return text + kEnd + "\r\n";
}

std::optional<MessageIntent> parseIntent(const std::string& text) {
    MessageIntent intent;
    bool hasId = false, hasFolder = false, hasTarget = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) return std::nullopt;
        std::string line = text.substr(start, end - start);
        start = end + 2;
        if (line == kEnd) {
            if (hasId && hasFolder && hasTarget) return intent;
            return std::nullopt;
        }
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
    return std::nullopt;
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

void Incoming::intend(const MessageIntent& intent) { journal_.rewrite(formatIntent(intent)); }

void Incoming::done() { journal_.rewrite(""); }

void Incoming::discard(const std::string& name) { removeAll(nativePath(dir_ + name)); }

}  // namespace korv
