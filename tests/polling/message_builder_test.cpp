// The thread that receives and decodes the next messages while the pass finishes the one before.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "mail/pop3/pop3_mailbox.h"
#include "polling/incoming.h"
#include "polling/message_builder.h"
#include "support/scripted_mailbox.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;

namespace {

// The server stalls before the second message; the pass fails at the first one (a ledger that
// cannot be written, say). It ends at once, not after the server's time-out, and leaves no
// folder of a message it never took.
TEST(MessageBuilder, APassEndingWithAnErrorDoesNotWaitForAStalledServer) {
    ScriptedPeer peer("+OK ready\r\n", mailbox(3, [](const std::string& c) -> std::string {
                          return c == "RETR 2" ? "<stall>" : "";
                      }));
    auto box = mail::Pop3Mailbox::open(
        {peer.address(), {mail::Security::None, {}}, {{}, "u", "p"}, {1000, 60000, 0}});
    TempDir dir;
    Incoming incoming(dir.path());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(
        {
            MessageBuilder builder(incoming, *box, {{1, "id-1"}, {2, "id-2"}, {3, "id-3"}});
            std::optional<BuiltMessage> first = builder.next();
            ASSERT_TRUE(first);
            EXPECT_EQ(first->holdReason, "");
            EXPECT_EQ(first->decoded.texts.subject, "m1");
            incoming.discard(first->folderName);
            throw std::runtime_error("the ledger cannot be written");
        },
        std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + ".incoming"))
        EXPECT_FALSE(entry.is_directory()) << entry.path();
}

// The pass takes slowly, so what waits fills up and the receiving thread decodes the newest
// waiting messages while the pass decodes the oldest: each comes out once, in order, whole.
TEST(MessageBuilder, MessagesDecodedByEitherSideComeOutInOrder) {
    constexpr int kCount = 60;
    ScriptedPeer peer("+OK ready\r\n", mailbox(kCount));
    auto box = mail::Pop3Mailbox::open(
        {peer.address(), {mail::Security::None, {}}, {{}, "u", "p"}, {1000, 60000, 0}});
    TempDir dir;
    Incoming incoming(dir.path());
    std::vector<std::pair<int, std::string>> wanted;
    for (int n = 1; n <= kCount; ++n) wanted.emplace_back(n, "id-" + std::to_string(n));
    MessageBuilder builder(incoming, *box, wanted);
    for (int n = 1; n <= kCount; ++n) {
        if (n % 20 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::optional<BuiltMessage> built = builder.next();
        ASSERT_TRUE(built) << n;
        EXPECT_EQ(built->number, n);
        EXPECT_EQ(built->id, "id-" + std::to_string(n));
        EXPECT_EQ(built->holdReason, "");
        EXPECT_EQ(built->decoded.texts.subject, "m" + std::to_string(n));
        EXPECT_EQ(built->decoded.body.rfind("body " + std::to_string(n) + "\r\n", 0), 0u) << n;
        EXPECT_EQ(built->header, "Subject: m" + std::to_string(n) + "\r\n");
        incoming.discard(built->folderName);
    }
    EXPECT_FALSE(builder.next());
}

}  // namespace
