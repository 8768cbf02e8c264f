#pragma once
// The first half of archiving a message, run beside the pass so that receiving and decoding the
// next messages overlaps with finishing the current one: a thread of its own receives each
// message in order; decoding it (a large one's attachments straight into a folder of its own in
// ".incoming") is done by whichever side is free: the pass decodes the message it takes next,
// and the receiving thread, when what waits is full, decodes the newest waiting one instead of
// sitting idle. The pass then writes the rest of that folder, hands the message off, journals
// it, moves it to its number and records its id, in order. What waits is bounded in bytes.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mail/mime/mime_message.h"
#include "mail/pop3/pop3_connection.h"

namespace korv {

class Incoming;
namespace mail {
class Pop3Mailbox;
}

// A message received and decoded; a small one's attachments still in memory (decoded.held), a
// large one's in its folder. The pass writes the rest: header.txt, the held attachments,
// body.txt.
struct BuiltMessage {
    int number = 0;
    std::string id;
    std::string folderName;  // in ".incoming"; empty when nothing of it stands
    std::string header;      // for header.txt, as TOP gave it
    mail::DecodedMessage decoded;
    // Not empty: the message is held back for the next poll for this reason.
    std::string holdReason;
    // An error that ends the pass (a broken connection, ".incoming" that cannot be written):
    // thrown when the pass reaches this message.
    std::exception_ptr endsPass;
    // What it counts against the bound of what waits: the bytes received, or the size the
    // listing announced when larger (decoding makes nothing larger).
    std::size_t weight = 0;
};

// Builds the messages in order on a thread of its own; next() hands them out in the same order.
// The mailbox and incoming belong to the builder until it is destroyed, which stops it after the
// message in progress and removes the folders of messages never taken.
class MessageBuilder {
  public:
    MessageBuilder(Incoming& incoming, mail::Pop3Mailbox& mailbox,
                   std::vector<std::pair<int, std::string>> messages);
    ~MessageBuilder();
    MessageBuilder(const MessageBuilder&) = delete;
    MessageBuilder& operator=(const MessageBuilder&) = delete;

    // The next message in order; nothing when every message was handed out.
    std::optional<BuiltMessage> next();

  private:
    enum class Stage { Received, Decoding, Decoded };
    struct Waiting {
        BuiltMessage built;
        mail::ReplyBuffer raw;  // until it is decoded
        Stage stage = Stage::Decoded;
    };

    void run();
    // Whether a message of these bytes may be received now beside what waits and what is
    // worked on.
    bool roomFor(std::size_t bytes) const;
    // Decodes the newest waiting message no one decodes yet, unlocking meanwhile; false when
    // there is none.
    bool decodeNewest(std::unique_lock<std::mutex>& lock);
    void decode(Waiting& waiting);

    Incoming& incoming_;
    mail::Pop3Mailbox& mailbox_;
    std::vector<std::pair<int, std::string>> messages_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Waiting> ready_;  // references stay valid while others come and go
    std::size_t readyBytes_ = 0;
    std::size_t takenBytes_ = 0;  // of the message the pass works on
    bool done_ = false;           // the builder has built its last message (or ended the pass)
    bool stop_ = false;
    bool takerWaits_ = false;
    bool builderWaits_ = false;
    std::thread thread_;
};

}  // namespace korv
