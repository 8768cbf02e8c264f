#include "polling/message_builder.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "mail/pop3/pop3_mailbox.h"
#include "polling/incoming.h"

namespace korv {
namespace {

using namespace mail;

// What may wait between the two sides: a few messages within a few MiB. A larger message is
// received only when nothing waits and the pass is through with the one before.
constexpr std::size_t kMaxReady = 16;
constexpr std::size_t kMaxBytes = std::size_t{8} << 20;
// The pass is woken when this many wait (or the builder is through or stuck): waking a thread
// for every message costs more than it gains.
constexpr std::size_t kWakeBatch = 4;
constexpr std::chrono::milliseconds kLongestWait{50};
// A message up to this size leaves its attachments in memory for the pass to write, which
// shares the work evenly between the two sides; a larger one is written as it is decoded.
constexpr std::size_t kHoldUpTo = std::size_t{2} << 20;

// Fetches message number into a new folder of incoming. Only what ends the pass is thrown;
// anything tied to this message is its holdReason, with nothing of it left behind.
BuiltMessage BuildMessage(Incoming& incoming, Pop3Mailbox& mailbox, int number,
                          const std::string& id) {
    BuiltMessage built;
    built.number = number;
    built.id = id;
    built.folderName = incoming.newFolder();
    const std::string folder = incoming.folderPath(built.folderName);
    try {
        built.header = mailbox.header(number).header;
        built.decoded = mailbox.fetch(number, folder, kHoldUpTo);
    } catch (const std::exception& e) {
        try {
            incoming.discard(built.folderName);
        } catch (...) {  // the next pass clears ".incoming" again
        }
        built.folderName.clear();
        // A connection that is gone ends the pass; it is no fault of this message.
        auto* mailError = dynamic_cast<const MailError*>(&e);
        if (mailError && mailError->kind() == MailError::Kind::Broken) throw;
        built.holdReason = e.what();
    }
    return built;
}

}  // namespace

std::size_t BuiltMessage::heldBytes() const {
    std::size_t n = header.size() + decoded.texts.header.size() + decoded.body.size();
    for (const auto& a : decoded.held) n += a.bytes.size();
    return n;
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
    bool building;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        building = !done_;
    }
    // A pass that ends with an error does not wait for a stalled server first.
    if (building && std::uncaught_exceptions() > 0) mailbox_.interrupt();
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
        // A large message weighs its size also while the pass works on it: the pass reads its
        // picture for the gallery, and the next large one must not be received meanwhile.
        built.weight = std::max(built.heldBytes(), static_cast<std::size_t>(announced));
        const bool last = built.endsPass != nullptr;
        bool wake;
        {
            std::lock_guard lock(mutex_);
            readyBytes_ += built.weight;
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
    readyBytes_ -= built.weight;
    takenBytes_ = built.weight;
    if (builderWaits_ && ready_.size() <= kMaxReady / 2) changed_.notify_all();
    return built;
}

}  // namespace korv
