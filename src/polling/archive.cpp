#include <cstdio>
#include <memory>
#include <vector>

#include "mail/mime/sender_address.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/whole_file.h"
#include "polling/incoming.h"
#include "polling/message_builder.h"
#include "polling/poll.h"
#include "polling/uidl_ledger.h"

namespace korv {
namespace {

using namespace mail;

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

ArchiveResult ArchiveMessage(PollContext& ctx, Incoming& incoming, UidlLedger& ledger,
                             BuiltMessage& built) {
    const std::string& name = built.folderName;
    const std::string& id = built.id;
    struct Discard {
        Incoming& incoming;
        const std::string& name;
        bool keep = false;
        ~Discard() {
            if (keep || name.empty()) return;
            try {
                incoming.discard(name);
            } catch (...) {  // the next pass clears ".incoming" again
            }
        }
    } discard{incoming, name};
    if (built.endsPass) std::rethrow_exception(built.endsPass);

    bool lineBegun = false;
    auto holdBack = [&](const std::string& reason) {
        if (!lineBegun) {
            ctx.status.BeginStatusLine();
            ctx.status.AppendStatus("メッセージ "_cp + std::to_string(built.number));
        }
        ctx.status.AppendStatus(" ->保留 "_cp + reason);
        ctx.status.WriteStatusToLog();
        return ArchiveResult::Held;
    };
    if (!built.holdReason.empty()) return holdBack(built.holdReason);

    const std::string folder = incoming.folderPath(name);
    DecodedMessage& m = built.decoded;
    ArchivedMessage message;
    HandOffFiles handedOff;
    try {
        WriteNewFile(built.header, folder + "header.txt");
        writeHeldAttachments(m, folder);
        if (m.attachmentError) throw *m.attachmentError;
        std::string names = formatNamesList(m.attachmentNames);

        std::string summary = m.texts.date + " |" + m.texts.subject + "| " + m.texts.from;
        if (!names.empty()) summary += " atc:" + names;
        ctx.status.BeginStatusLine();
        lineBegun = true;
        ctx.status.AppendStatus(summary);

        WriteNewFile(m.body, folder + "body.txt");
        message.folder = folder;
        message.subject = std::move(m.texts.subject);
        message.date = std::move(m.texts.date);
        message.from = std::move(m.texts.from);
        message.fromAddress = senderAddress(m.texts.header);
        message.header = std::move(m.texts.header);
        message.body = std::move(m.body);
        message.attachments = std::move(names);
        // What was held is written now; the hand-off takes its picture from memory.
        for (std::size_t i = 0; i < m.held.size() && i < m.attachmentNames.size(); ++i)
            message.attachmentBytes[m.attachmentNames[i]] = std::move(m.held[i].bytes);
        if (ctx.handOff) handedOff = ctx.handOff->prepare(message);
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
    // The line before the ledger: a log that cannot be written ends the pass with the message
    // still journaled, and the next pass logs it when it counts it. Once logged, the journal
    // drops the line, so a ledger that cannot be written does not log it twice.
    ctx.status.WriteStatusToLog();
    intent.line.clear();
    incoming.intend(intent);
    ledger.record(id, ctx.accountFolder + kLedgerName);
    return ArchiveResult::Archived;
}

}  // namespace korv
