#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "mail/maillib.h"
#include "mail/sender_address.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/whole_file.h"
#include "polling/incoming.h"
#include "polling/poll.h"
#include "polling/uidl_ledger.h"

namespace korv {
namespace {

using namespace mail;

std::string libraryError() {
    std::vector<char> text(kMailBufferBytes);
    MailLibGetMessage(0, text.data(), kMailTextSize);
    return text.data();
}

// Throws when the connection is gone: that ends the pass, it is no fault of this message.
void checkConnection(int result) {
    if (result == kMailLibBroken) throw ConnectionLost(libraryError());
}

// A message that cannot be archived now: held back, with its reason, for the next poll.
struct HeldBack {
    std::string reason;
};

struct MailTexts {
    std::vector<char> subject = std::vector<char>(kMailBufferBytes);
    std::vector<char> date = std::vector<char>(kMailBufferBytes);
    std::vector<char> from = std::vector<char>(kMailBufferBytes);
    std::vector<char> header = std::vector<char>(kMailBufferBytes);
    std::vector<char> names = std::vector<char>(kMailBufferBytes);
};

// Sized from the server's figure, which is only a hint: pages the body never reaches are never
// touched, so a large hint costs no memory.
std::unique_ptr<char[]> bodyBuffer(int size) {
    return size > 0 ? std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size))
                    : nullptr;
}

// Fetches the body and decodes the attachments into folder; the body buffer follows what
// arrives, not what the listing said.
std::string fetchBody(int handle, int number, MailTexts& t, const std::string& folder) {
    int size = MailLibPop3GetMailSize(handle, number);
    checkConnection(size);
    for (int attempt = 0;; ++attempt) {
        auto body = bodyBuffer(size);
        int r = MailLibPop3GetMail(handle, number, t.subject.data(), t.date.data(), t.from.data(),
                                   t.header.data(), body.get(), folder.c_str(), t.names.data());
        checkConnection(r);
        if (r == kMailLibBodyTooLarge && attempt == 0) {
            size = MailLibPop3GetMailSize(handle, number);
            checkConnection(size);
            continue;
        }
        if (r != 0) throw HeldBack{libraryError()};
        return body ? std::string(body.get(), strnlen(body.get(), static_cast<std::size_t>(size)))
                    : std::string();
    }
}

std::string nextTarget(PollContext& ctx, const std::string& day) {
    std::string base = ctx.accountFolder + day;
    if (base != ctx.lastDayFolder) ensureFolders(base);
    int start = base == ctx.lastDayFolder ? ctx.nextFolderNumber : 0;
    std::string folder = NextFreeFolder(base, "", 5, start);
    ctx.lastDayFolder = base;
    ctx.nextFolderNumber = start;
    return folder.substr(ctx.accountFolder.size());
}

void removeQuietly(const std::vector<std::string>& files) {
    for (const auto& f : files) std::remove(nativePath(f).c_str());
}

}  // namespace

std::string NextFreeFolder(const std::string& base, const std::string& prefix, int width,
                           int& startNumber) {
    const std::string head = withTrailingDelimiter(base) + prefix;
    for (int n = startNumber;; ++n) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%0*d", width, n);
        std::string candidate = head + digits;
        if (!folderExists(candidate)) {
            startNumber = n + 1;
            return candidate;
        }
    }
}

ArchiveResult ArchiveMessage(PollContext& ctx, Incoming& incoming, UidlLedger& ledger, int handle,
                             int number, const std::string& id) {
    const std::string name = incoming.newFolder();
    const std::string folder = incoming.folderPath(name);
    struct Discard {
        Incoming& incoming;
        const std::string& name;
        bool keep = false;
        ~Discard() {
            if (keep) return;
            try {
                incoming.discard(name);
            } catch (...) {  // the next pass clears ".incoming" again
            }
        }
    } discard{incoming, name};

    bool lineBegun = false;
    auto holdBack = [&](const std::string& reason) {
        if (!lineBegun) {
            ctx.status.BeginStatusLine();
            ctx.status.AppendStatus("メッセージ "_cp + std::to_string(number));
        }
        ctx.status.AppendStatus(" ->保留 "_cp + reason);
        ctx.status.WriteStatusToLog();
        return ArchiveResult::Held;
    };

    MailTexts t;
    ArchivedMessage message;
    HandOffFiles handedOff;
    try {
        int r = MailLibPop3GetMailStatus(handle, number, t.subject.data(), t.date.data(),
                                         t.from.data(), t.header.data(), 0);
        checkConnection(r);
        if (r != 0) throw HeldBack{libraryError()};
        // header.txt holds the header of the status call, the rest comes from the fetch.
        WriteNewFile(t.header.data(), folder + "header.txt");
        std::string body = fetchBody(handle, number, t, folder);

        std::string summary =
            std::string(t.date.data()) + " |" + t.subject.data() + "| " + t.from.data();
        if (t.names[0] != '\0') summary += " atc:" + std::string(t.names.data());
        ctx.status.BeginStatusLine();
        lineBegun = true;
        ctx.status.AppendStatus(summary);

        WriteNewFile(body, folder + "body.txt");
        message.folder = folder;
        message.subject = t.subject.data();
        message.date = t.date.data();
        message.from = t.from.data();
        message.fromAddress = Pop3SenderAddress(handle, number);
        message.header = t.header.data();
        message.body = std::move(body);
        message.attachments = t.names.data();
        if (ctx.handOff) handedOff = ctx.handOff->prepare(message);
    } catch (const HeldBack& held) {
        return holdBack(held.reason);
    } catch (const ConnectionLost&) {
        throw;
    } catch (const std::exception& e) {  // a file of this message, or its hand-off's names
        return holdBack(e.what());
    }

    // From here on the journal knows what is being written outside ".incoming".
    const std::string day = formatDayName(ctx.clock.now());
    const std::vector<std::string>& galleryFiles = handedOff.files;
    MessageIntent intent{
        id, name, nextTarget(ctx, day), galleryFiles, handedOff.account, ctx.status.StatusLine()};
    incoming.intend(intent);
    if (!galleryFiles.empty()) {
        try {
            ctx.handOff->carryOut();
        } catch (const std::exception& e) {
            incoming.withdraw();
            return holdBack(e.what());
        }
        // The line now names the gallery file: a pass that finishes this message logs it so.
        intent.line = ctx.status.StatusLine();
        incoming.intend(intent);
    }
    try {
        while (!renameFolderToFreeName(folder, incoming.targetPath(intent.target))) {
            intent.target = nextTarget(ctx, day);  // taken meanwhile by someone else
            incoming.intend(intent);
        }
    } catch (...) {
        removeQuietly(galleryFiles);
        incoming.withdraw();
        throw;
    }
    discard.keep = true;
    ledger.record(id, ctx.accountFolder + "UIDL.txt");
    ctx.status.WriteStatusToLog();
    return ArchiveResult::Archived;
}

}  // namespace korv
