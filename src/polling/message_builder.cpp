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
// A message up to this size keeps its attachments in memory until the pass writes them with the
// rest of its folder (the hand-off takes its picture from there); a larger one's are written as
// they are decoded.
constexpr std::size_t kHoldUpTo = std::size_t{2} << 20;

// Receives message number into a new folder of incoming. Only what ends the pass is thrown;
// anything tied to this message is its holdReason, with nothing of it left behind.
BuiltMessage ReceiveMessage(Incoming& incoming, Pop3Mailbox& mailbox, int number,
                            const std::string& id, ReplyBuffer& raw) {
    BuiltMessage built;
    built.number = number;
    built.id = id;
    built.folderName = incoming.newFolder();
    try {
        built.header = mailbox.headerText(number);
        raw = mailbox.receive(number);
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
    for (const Waiting& m : ready_) {
        if (m.built.folderName.empty()) continue;
        try {
            incoming_.discard(m.built.folderName);
        } catch (...) {  // the next pass clears ".incoming" again
        }
    }
}

bool MessageBuilder::roomFor(std::size_t bytes) const {
    if (ready_.empty() && takenBytes_ == 0) return true;
    return ready_.size() < kMaxReady && readyBytes_ + takenBytes_ + bytes <= kMaxBytes;
}

void MessageBuilder::decode(Waiting& waiting) {
    BuiltMessage& built = waiting.built;
    try {
        built.decoded =
            decodeMessage(waiting.raw.view(), incoming_.folderPath(built.folderName), kHoldUpTo);
    } catch (const std::exception& e) {
        try {
            incoming_.discard(built.folderName);
        } catch (...) {  // the next pass clears ".incoming" again
        }
        built.folderName.clear();
        built.holdReason = e.what();
    } catch (...) {
        built.endsPass = std::current_exception();
    }
    waiting.raw.release();
}

bool MessageBuilder::decodeNewest(std::unique_lock<std::mutex>& lock) {
    auto newest = std::find_if(ready_.rbegin(), ready_.rend(),
                               [](const Waiting& w) { return w.stage == Stage::Received; });
    if (newest == ready_.rend()) return false;
    Waiting& waiting = *newest;
    waiting.stage = Stage::Decoding;
    lock.unlock();
    decode(waiting);
    lock.lock();
    waiting.stage = Stage::Decoded;
    if (takerWaits_) changed_.notify_all();
    return true;
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
            // Waiting for room, this thread decodes what waits: the pass is behind.
            while (!room() && decodeNewest(lock)) {
            }
            if (!room()) {
                // The pass takes what waits even when it is less than a batch.
                builderWaits_ = true;
                if (takerWaits_) changed_.notify_all();
                changed_.wait(lock, room);
                builderWaits_ = false;
            }
            if (stop_) break;
        }
        Waiting waiting;
        try {
            waiting.built = ReceiveMessage(incoming_, mailbox_, number, id, waiting.raw);
            if (waiting.built.holdReason.empty()) waiting.stage = Stage::Received;
        } catch (...) {
            waiting.built.number = number;
            waiting.built.endsPass = std::current_exception();
        }
        // A large message weighs its size also while the pass works on it: the pass reads its
        // picture for the gallery, and the next large one must not be received meanwhile.
        waiting.built.weight = std::max(waiting.built.header.size() + waiting.raw.size(),
                                        static_cast<std::size_t>(announced));
        const bool last = waiting.built.endsPass != nullptr;
        bool wake;
        {
            std::lock_guard lock(mutex_);
            readyBytes_ += waiting.built.weight;
            ready_.push_back(std::move(waiting));
            if (last) done_ = true;
            wake = takerWaits_ && (last || ready_.size() >= kWakeBatch || !roomFor(0));
        }
        if (wake) changed_.notify_all();
        if (last) return;
    }
    std::unique_lock lock(mutex_);
    // Through with the connection: what waits is decoded from both ends.
    while (!stop_ && decodeNewest(lock)) {
    }
    done_ = true;
    lock.unlock();
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
    Waiting& front = ready_.front();
    if (front.stage == Stage::Decoding) {
        takerWaits_ = true;
        changed_.wait(lock, [&] { return front.stage == Stage::Decoded; });
        takerWaits_ = false;
    } else if (front.stage == Stage::Received) {
        front.stage = Stage::Decoding;
        lock.unlock();
        decode(front);
        lock.lock();
        front.stage = Stage::Decoded;
    }
    BuiltMessage built = std::move(front.built);
    ready_.pop_front();
    readyBytes_ -= built.weight;
    takenBytes_ = built.weight;
    if (builderWaits_ && ready_.size() <= kMaxReady / 2) changed_.notify_all();
    return built;
}

}  // namespace korv
