#include "polling/message_builder.h"

#include <algorithm>
#include <chrono>

#include "mail/mime/sender_address.h"
#include "mail/pop3/pop3_mailbox.h"
#include "platform/whole_file.h"
#include "polling/incoming.h"

namespace korv {
namespace {

using namespace mail;

// What may wait between the two sides: a few messages, and their texts within a few MiB (their
// attachments are already written). A larger message is built only when nothing waits.
constexpr std::size_t kMaxReady = 16;
constexpr std::size_t kMaxBytes = std::size_t{8} << 20;
// The pass is woken when this many wait (or the builder is through or stuck): waking a thread
// for every message costs more than it gains.
constexpr std::size_t kWakeBatch = 4;
constexpr std::chrono::milliseconds kLongestWait{50};

}  // namespace

BuiltMessage BuildMessage(Incoming& incoming, Pop3Mailbox& mailbox, int number,
                          const std::string& id) {
    BuiltMessage built;
    built.number = number;
    built.id = id;
    built.folderName = incoming.newFolder();
    const std::string folder = incoming.folderPath(built.folderName);
    auto discard = [&] {
        try {
            incoming.discard(built.folderName);
        } catch (...) {  // the next pass clears ".incoming" again
        }
        built.folderName.clear();
    };
    try {
        // header.txt holds the header as TOP gives it, the rest comes from the whole message.
        WriteNewFile(mailbox.header(number).header, folder + "header.txt");
        DecodedMessage m = mailbox.fetch(number, folder);
        if (m.attachmentError) throw *m.attachmentError;
        std::string names = formatNamesList(m.attachmentNames);
        built.summary = m.texts.date + " |" + m.texts.subject + "| " + m.texts.from;
        if (!names.empty()) built.summary += " atc:" + names;
        WriteNewFile(m.body, folder + "body.txt");
        ArchivedMessage& message = built.message;
        message.folder = folder;
        message.subject = std::move(m.texts.subject);
        message.date = std::move(m.texts.date);
        message.from = std::move(m.texts.from);
        message.fromAddress = senderAddress(m.texts.header);
        message.header = std::move(m.texts.header);
        message.body = std::move(m.body);
        message.attachments = std::move(names);
    } catch (const MailError& e) {
        discard();
        // A connection that is gone ends the pass; it is no fault of this message.
        if (e.kind() == MailError::Kind::Broken) throw;
        built.holdReason = e.what();
    } catch (const std::exception& e) {  // a file of this message
        discard();
        built.holdReason = e.what();
    }
    return built;
}

MessageBuilder::MessageBuilder(Incoming& incoming, Pop3Mailbox& mailbox,
                               std::vector<std::pair<int, std::string>> messages)
    : incoming_(incoming), mailbox_(mailbox), messages_(std::move(messages)) {
    std::vector<int> order;
    for (const auto& m : messages_) order.push_back(m.first);
    mailbox_.fetchInOrder(order);
    thread_ = std::thread([this] { run(); });
}

MessageBuilder::~MessageBuilder() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    for (const BuiltMessage& m : ready_) {
        if (m.folderName.empty()) continue;
        try {
            incoming_.discard(m.folderName);
        } catch (...) {  // the next pass clears ".incoming" again
        }
    }
}

bool MessageBuilder::roomFor(std::size_t bytes) const {
    if (ready_.empty() && takenBytes_ == 0) return true;
    return ready_.size() < kMaxReady && readyBytes_ + takenBytes_ + bytes <= kMaxBytes;
}

void MessageBuilder::run() {
    for (const auto& [number, id] : messages_) {
        long long announced = 0;
        try {
            announced = std::max(mailbox_.size(number), 0LL);
        } catch (...) {  // the fetch says what is wrong
        }
        {
            std::unique_lock lock(mutex_);
            auto room = [&] { return stop_ || roomFor(static_cast<std::size_t>(announced)); };
            if (!room()) {
                // The pass takes what waits even when it is less than a batch.
                builderWaits_ = true;
                if (takerWaits_) changed_.notify_all();
                changed_.wait(lock, room);
                builderWaits_ = false;
            }
            if (stop_) break;
        }
        BuiltMessage built;
        try {
            built = BuildMessage(incoming_, mailbox_, number, id);
        } catch (...) {
            built.number = number;
            built.endsPass = std::current_exception();
        }
        const bool last = built.endsPass != nullptr;
        bool wake;
        {
            std::lock_guard lock(mutex_);
            readyBytes_ += built.bytes();
            ready_.push_back(std::move(built));
            if (last) done_ = true;
            wake = takerWaits_ && (last || ready_.size() >= kWakeBatch || !roomFor(0));
        }
        if (wake) changed_.notify_all();
        if (last) return;
    }
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
}

std::optional<BuiltMessage> MessageBuilder::next() {
    std::unique_lock lock(mutex_);
    takenBytes_ = 0;
    if (builderWaits_) changed_.notify_all();
    if (ready_.empty()) {
        auto batch = [&] {
            return done_ || ready_.size() >= kWakeBatch || (!ready_.empty() && builderWaits_);
        };
        takerWaits_ = true;
        // A slow server fills no batch: what waits is taken after a moment anyway.
        while (!changed_.wait_for(lock, kLongestWait, batch) && ready_.empty()) {
        }
        takerWaits_ = false;
    }
    if (ready_.empty()) return std::nullopt;
    BuiltMessage built = std::move(ready_.front());
    ready_.pop_front();
    readyBytes_ -= built.bytes();
    takenBytes_ = built.bytes();
    if (builderWaits_ && ready_.size() <= kMaxReady / 2) changed_.notify_all();
    return built;
}

}  // namespace korv
