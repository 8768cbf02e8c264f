#pragma once
// One visit to the POP3 mailbox: connect, log in, archive every message whose unique id is not
// in the ledger yet, record the new ids, close.
#include <functional>
#include <string>

#include "app/settings.h"
#include "app/status_log.h"
#include "platform/clock.h"

namespace korv {

// Hands an archived message on (to the gallery); called with the message folder (ending with a
// delimiter), subject, date, sender, header, body and the attachment names as comma text.
using HandOff =
    std::function<void(const std::string& messageFolder, const std::string& subject,
                       const std::string& date, const std::string& from, const std::string& header,
                       const std::string& body, const std::string& attachments)>;

struct PollContext {
    const Settings& settings;
    std::string accountFolder;  // ends with a delimiter: UIDL.txt and the day folders
    StatusLog& status;
    Clock& clock;
    HandOff handOff;  // may be empty
    // Where the last message of this pass went: the next one's search for a free folder starts
    // after it instead of at 00000, which gives the same folder (everything below was taken) but
    // keeps a pass of n messages from testing n*n/2 folder names.
    std::string lastDayFolder = {};
    int nextFolderNumber = 0;
};

// Every poll ends with its connection closed, also when an error ends it early.
void PollMailbox(PollContext& ctx);
// An error ends the pass; the ids of messages archived completely before it stay recorded.
void FetchNewMessages(PollContext& ctx, int handle, int count);
void ArchiveMessage(PollContext& ctx, int handle, int number);
// First base/prefix+number (zero-padded to width) that is not an existing folder, counting up
// from startNumber; startNumber ends one past the number used.
std::string NextFreeFolder(const std::string& base, const std::string& prefix, int width,
                           int& startNumber);

}  // namespace korv
