#pragma once
// Where a pass builds each message before it counts: a folder of its own under the account
// folder's ".incoming", and a journal of the one message in flight, so that a pass killed at any
// moment is finished or undone by the next one and never leaves half a message, a second copy
// or a gallery entry without its message.
#include <optional>
#include <string>
#include <vector>

#include "platform/shared_file.h"

namespace korv {

// A message in flight: its id (as stored in the ledger), the name of the folder it is built in,
// the numbered folder it goes to (day/number, under the account folder), the gallery files it
// creates and the gallery account that holds them, and its status line as it will be logged.
struct MessageIntent {
    std::string id;
    std::string folder;
    std::string target;
    std::vector<std::string> files;
    std::string account = {};
    std::string line = {};
};

std::string formatIntent(const MessageIntent& intent);
// Nothing when the text is not one whole record (a journal cut short by a kill).
std::optional<MessageIntent> parseIntent(const std::string& text);

class HandOff;
class StatusLog;

// Finishes or undoes what a killed pass left: a message already moved into its numbered folder
// gets its id recorded and its status line logged; the gallery files of any other message in
// flight are removed, only regular files inside the gallery folder that handOff gives for its
// account; folders left in ".incoming" go. Links there are removed as links, never followed. What
// it cannot undo is logged once and dropped. For a pass that holds the poll lock.
void RecoverInterruptedPass(const std::string& accountFolder, StatusLog& status, HandOff* handOff);

class Incoming {
  public:
    // A link in the place of ".incoming" or its journal is a LinkRefused error.
    explicit Incoming(std::string accountFolder);

    // A new empty folder to build a message in: its name, and its path with a trailing delimiter.
    std::string newFolder();
    std::string folderPath(const std::string& name) const;
    // Notes the message in flight before anything outside ".incoming" is written. A record
    // stays until the next one: once its id is in the ledger, it asks nothing of the next pass.
    void intend(const MessageIntent& intent);
    // The message in flight is given up (what it wrote outside is gone again).
    void withdraw();
    // The pass is through: the last record goes before a trim of the ledger could make it look
    // unfinished.
    void finish() { withdraw(); }
    // Removes a folder that newFolder gave, with what is in it.
    void discard(const std::string& name);
    const std::string& accountFolder() const { return accountFolder_; }
    // The full path of a target (day/number) under the account folder.
    std::string targetPath(const std::string& target) const { return accountFolder_ + target; }

  private:
    std::string accountFolder_;
    std::string dir_;
    SharedFile journal_;
};

}  // namespace korv
