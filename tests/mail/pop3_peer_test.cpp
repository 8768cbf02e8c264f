// The POP3 functions against a scripted peer: what a real server will not do on request.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "mail/maillib.h"
#include "mail/pop3/pop3_connection.h"
#include "mail/pop3/pop3_mailbox.h"
#include "platform/codepage.h"
#include "support/pop3_calls.h"
#include "support/process.h"
#include "support/scripted_mailbox.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

TEST(Pop3Peer, ListingsWithExtraBlanksAreReadOncePerConnection) {
    ScriptedPeer peer("+OK ready\r\n", mailbox(2, [](const std::string& c) -> std::string {
                          if (c == "UIDL") return "+OK\r\n1    abc  \r\n  2\tdef\r\n.\r\n";
                          if (c == "LIST") return "+OK 2 messages\r\n1  120\r\n2 7\r\n.\r\n";
                          return "";
                      }));
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 2);
    std::vector<char> id(kMailBufferBytes);
    EXPECT_EQ(MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize), 0);
    EXPECT_STREQ(id.data(), "abc");
    EXPECT_EQ(MailLibPop3GetUidl(h, 2, id.data(), kMailTextSize), 0);
    EXPECT_STREQ(id.data(), "def");
    EXPECT_EQ(MailLibPop3GetMailSize(h, 1), 120);
    EXPECT_EQ(MailLibPop3GetMailSize(h, 2), 7);
    MailLibPop3Close(h);
    auto commands = peer.commands();
    EXPECT_EQ(countOf(commands, "UIDL"), 1);
    EXPECT_EQ(countOf(commands, "LIST"), 1);
    EXPECT_EQ(commands.back(), "QUIT");
}

// The greeting and the login against what a server may do: each row a fault the library must
// turn into its code and a text that says why, without leaking the password or sending more.
TEST(Pop3Peer, GreetingAndLoginFaults) {
    ShortTimeouts shortWaits;
    constexpr int kNoConnection = 1;  // MailLibPop3Connect gives -1
    struct Row {
        const char* name;
        Transcript conversation;
        const char *user, *password;
        int apop;
        int code;  // of the login (a broken one stays broken), or kNoConnection
        std::string shown, hidden = {};      // in the error text, never in it
        std::vector<std::string> sent = {};  // every command, when checked
    };
    const Transcript bare = {"S: +OK ready", "C: QUIT", "S: +OK"};
    const std::string digest = "APOP mrose a6f0dd348916c9ee9539661f94c75203";  // md5 of stamp+pw
    // clang-format off
    const std::vector<Row> rows = {
        {"apop digest", {"S: +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>",
          "C: " + digest, "S: +OK", "C: STAT", "S: +OK 0 0", "C: QUIT", "S: +OK"},
         "mrose", "tanstaafl", -1, 0, "", "", {digest, "STAT", "QUIT"}},
        {"apop without a time stamp", bare, "u", "p", -1, kMailLibRefused, "APOP", "", {"QUIT"}},
        {"password waits for the user reply", {"S: +OK ready", "C: USER u", stall}, "u", "p", 0,
         kMailLibBroken, "タイムアウト"_cp, "", {"USER u"}},
        {"refusal echoes the password", {"S: +OK ready", "C: USER u", "S: +OK",
          "C: PASS Sesame-42", "S: -ERR wrong password Sesame-42", "C: QUIT", "S: +OK"},
         "u", "Sesame-42", 0, kMailLibRefused, "-ERR wrong password", "Sesame-42"},
        {"line break in the password", bare, "u", "p\r\nDELE 1", 0, kMailLibRefused, "", "DELE", {"QUIT"}},
        {"line break in the user", bare, "u\nDELE 1", "p", 0, kMailLibRefused, "", "DELE", {"QUIT"}},
        {"silent greeting", Transcript{}, "u", "p", 0, kNoConnection, "タイムアウト"_cp},
        {"garbage greeting", {"S: HELLO THERE"}, "u", "p", 0, kNoConnection, "HELLO THERE"},
        {"garbage reply", {"S: +OK ready", "C: USER u", "S: \x01\x02 what?"}, "u", "p", 0,
         kMailLibBroken, "?? what?"},
        {"unreadable STAT", {"S: +OK ready", "C: USER u", "S: +OK", "C: PASS p", "S: +OK",
          "C: STAT", "S: +OK lots"}, "u", "p", 0, kMailLibBroken, "STAT"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedPeer peer(row.conversation);
        int h = MailLibPop3Connect(peer.address().c_str());
        if (row.code == kNoConnection) {
            EXPECT_EQ(h, -1);
            EXPECT_NE(errorText().find(peer.address()), std::string::npos) << errorText();
        } else {
            ASSERT_NE(h, -1) << errorText();
            EXPECT_EQ(MailLibPop3Authenticate(h, row.user, row.password, row.apop), row.code);
        }
        std::string error = row.code == 0 ? std::string() : errorText();
        EXPECT_NE(error.find(row.shown), std::string::npos) << error;
        if (!row.hidden.empty()) {
            EXPECT_EQ(error.find(row.hidden), std::string::npos) << error;
        }
        if (row.code == kMailLibBroken) {
            EXPECT_EQ(MailLibPop3GetMailSize(h, 1), kMailLibBroken);
        }
        EXPECT_EQ(MailLibPop3Close(h), 0);
        if (!row.sent.empty()) {
            EXPECT_EQ(peer.commands(), row.sent);
        }
    }
}

TEST(Pop3Peer, RefusedConnectionNamesTheServer) {
    int port;
    {
        ScriptedPeer closedAgain(Transcript{});
        port = closedAgain.port();
    }
    std::string address = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(MailLibPop3Connect(address.c_str()), -1);
    EXPECT_NE(errorText().find(address), std::string::npos) << errorText();
    EXPECT_EQ(MailLibPop3Connect("imap://127.0.0.1"), -1);
    EXPECT_NE(errorText().find("imap://127.0.0.1"), std::string::npos) << errorText();
}

TEST(Pop3Peer, DroppedConnectionInMidRetrFailsCleanly) {
    ScriptedPeer peer(loggedIn(1) +
                      Transcript{"C: LIST", "S: +OK\r\n1 500\r\n.", "C: RETR 1",
                                 raw("+OK\r\nSubject: cut\r\n\r\nfirst line\r\nsecond li"), drop});
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
    ASSERT_EQ(MailLibPop3GetMailSize(h, 1), 500);
    Texts t;
    std::vector<char> body(500, 'x');
    TempDir folder;
    EXPECT_LT(
        MailLibPop3GetMail(h, 1, t.subject.data(), t.date.data(), t.from.data(), t.header.data(),
                           body.data(), folder.path().c_str(), t.names.data()),
        0);
    EXPECT_EQ(body[0], '\0');
    EXPECT_EQ(t.subject[0], '\0');
    EXPECT_EQ(t.names[0], '\0');
    EXPECT_NE(errorText().find("接続が切れました"_cp), std::string::npos) << errorText();
    // Later calls fail at once with a text; the handle still closes, and then it is gone.
    std::vector<char> id(kMailBufferBytes, 'x');
    EXPECT_LT(MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize), 0);
    EXPECT_EQ(id[0], '\0');
    EXPECT_FALSE(errorText().empty());
    EXPECT_EQ(MailLibPop3Close(h), 0);
    EXPECT_LT(MailLibPop3Authenticate(h, "u", "p", 0), 0);
    EXPECT_EQ(MailLibPop3Close(h), 0);
}

TEST(Pop3Peer, StallInMidRetrTimesOut) {
    ShortTimeouts shortWaits;
    ScriptedPeer peer(loggedIn(1) + Transcript{"C: LIST", "S: +OK\r\n1 100\r\n.", "C: RETR 1",
                                               raw("+OK\r\nSubject: slow\r\n\r\nfirst"), stall});
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
    Texts t;
    EXPECT_LT(MailLibPop3GetMail(h, 1, t.subject.data(), t.date.data(), t.from.data(),
                                 t.header.data(), nullptr, "", nullptr),
              0);
    EXPECT_NE(errorText().find("タイムアウト"_cp), std::string::npos) << errorText();
    EXPECT_EQ(MailLibPop3Close(h), 0);
}

TEST(Pop3Peer, OversizedLineEndsCleanly) {
    ScriptedPeer peer(
        loggedIn(1) +
        Transcript{"C: UIDL", raw("+OK\r\n1 " + std::string(kPop3MaxLineBytes + 10, 'u'))});
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
    std::vector<char> id(kMailBufferBytes, 'x');
    EXPECT_LT(MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize), 0);
    EXPECT_EQ(id[0], '\0');
    EXPECT_NE(errorText().find("長すぎます"_cp), std::string::npos) << errorText();
    EXPECT_EQ(MailLibPop3Close(h), 0);
}

TEST(Pop3Peer, BodyStaysInsideTheSizeReportedForTheMessage) {
    // The server lists a size smaller than what it then sends.
    const std::string body = std::string(300, 'b') + "\r\n";
    ScriptedPeer peer("+OK ready\r\n", mailbox(2, [&](const std::string& c) -> std::string {
                          if (c == "LIST") return "+OK\r\n1 40\r\n2 40\r\n.\r\n";
                          if (c == "RETR 1" || c == "RETR 2")
                              return "+OK\r\nSubject: s\r\n\r\n" + body + ".\r\n";
                          return "";
                      }));
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 2);
    int size = MailLibPop3GetMailSize(h, 1);
    ASSERT_EQ(size, 40);
    // Exactly as large as reported: ASan reports any byte written past the end.
    auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(size));
    Texts t;
    TempDir folder;
    EXPECT_EQ(
        MailLibPop3GetMail(h, 1, t.subject.data(), t.date.data(), t.from.data(), t.header.data(),
                           buffer.get(), folder.path().c_str(), t.names.data()),
        kMailLibBodyTooLarge);
    EXPECT_EQ(std::string(buffer.get()), body.substr(0, 39));

    // No size was asked for message 2: nothing is known of that buffer, nothing goes in.
    char untouched[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(MailLibPop3GetMail(h, 2, t.subject.data(), t.date.data(), t.from.data(),
                                 t.header.data(), untouched, folder.path().c_str(), t.names.data()),
              kMailLibBodyTooLarge);
    EXPECT_EQ(std::string(untouched, 4), "xxxx");
    EXPECT_STREQ(t.subject.data(), "s");
    MailLibPop3Close(h);
}

TEST(Pop3Peer, LongTextsStayInsideTheirBuffers) {
    for (std::size_t length : {8191u, 8192u, 100000u}) {
        SCOPED_TRACE(length);
        std::string longId(length, 'i');
        std::string subject(length, 's');
        ScriptedPeer peer("+OK ready\r\n", mailbox(1, [&](const std::string& c) -> std::string {
                              if (c == "UIDL") return "+OK\r\n1 " + longId + "\r\n.\r\n";
                              if (c == "TOP 1 0")
                                  return "+OK\r\nSubject: " + subject + "\r\n\r\n.\r\n";
                              return "";
                          }));
        int h = MailLibPop3Connect(peer.address().c_str());
        ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
        // Each buffer exactly as large as promised.
        auto id = std::make_unique<char[]>(kMailBufferBytes);
        MailLibPop3GetUidl(h, 1, id.get(), kMailTextSize);
        EXPECT_EQ(std::string(id.get()), longId.substr(0, 8191));
        auto small = std::make_unique<char[]>(16);
        MailLibPop3GetUidl(h, 1, small.get(), 16);
        EXPECT_EQ(std::string(small.get()), longId.substr(0, 15));

        std::vector<std::unique_ptr<char[]>> texts;
        for (int i = 0; i < 4; ++i) texts.push_back(std::make_unique<char[]>(kMailBufferBytes));
        EXPECT_EQ(MailLibPop3GetMailStatus(h, 1, texts[0].get(), texts[1].get(), texts[2].get(),
                                           texts[3].get(), 0),
                  0);
        EXPECT_EQ(std::string(texts[0].get()), subject.substr(0, 8191));
        EXPECT_EQ(std::string(texts[3].get()), ("Subject: " + subject + "\r\n").substr(0, 8191));
        MailLibPop3Close(h);
    }
}

TEST(Pop3Peer, HandlesAreSmallAndNeverLeftBehind) {
    ScriptedPeer a("+OK a\r\n", [](const std::string&) { return std::string("+OK\r\n"); });
    ScriptedPeer b("+OK b\r\n", [](const std::string&) { return std::string("+OK\r\n"); });
    int first = MailLibPop3Connect(a.address().c_str());
    EXPECT_EQ(MailLibPop3Connect("127.0.0.1:1"), -1);
    int second = MailLibPop3Connect(b.address().c_str());
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 2);
    EXPECT_EQ(second, first + 1);  // the failed connect took no number
    EXPECT_EQ(MailLibPop3Close(-1), 0);
    EXPECT_EQ(MailLibPop3Close(4711), 0);
    EXPECT_EQ(MailLibPop3Close(first), 0);
    EXPECT_EQ(MailLibPop3Close(second), 0);
    EXPECT_EQ(a.commands(), std::vector<std::string>{"QUIT"});
    EXPECT_EQ(b.commands(), std::vector<std::string>{"QUIT"});
}

TEST(Pop3Peer, CleanupClosesWhatIsStillOpen) {
    ScriptedPeer a("+OK a\r\n", [](const std::string&) { return std::string("+OK\r\n"); });
    EXPECT_EQ(runProcess({MAIL_CLEANUP_HELPER, a.address()}).exitCode, 0);
    EXPECT_EQ(a.commands(), std::vector<std::string>{"QUIT"});
}

TEST(Pop3Peer, ConnectTimesOutWhenNobodyAnswers) {
    ShortTimeouts shortWaits;
    // A listener whose queue is full drops further connection attempts unanswered.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(fd);
    }
    std::string address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    EXPECT_EQ(MailLibPop3Connect(address.c_str()), -1);
    std::string error = errorText();
    EXPECT_NE(error.find("接続がタイムアウト"_cp), std::string::npos) << error;
    EXPECT_NE(error.find(address), std::string::npos) << error;
    for (int fd : fillers) close(fd);
    close(listener);
}

TEST(Pop3Peer, HeaderComesFromTheWholeMessageWhenTheServerHasNoTop) {
    ScriptedPeer peer(loggedIn(1) +
                      Transcript{"C: LIST", "S: +OK\r\n1 100\r\n.", "C: TOP 1 0",
                                 "S: -ERR unknown command", "C: RETR 1",
                                 "S: +OK\r\nSubject: no top\r\nX-A: 1\r\n\r\nbody\r\n.", "C: QUIT",
                                 "S: +OK"});
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 1);
    Texts t;
    EXPECT_EQ(status(h, 1, t), 0);
    EXPECT_STREQ(t.subject.data(), "no top");
    EXPECT_STREQ(t.header.data(), "Subject: no top\r\nX-A: 1\r\n");
    MailLibPop3Close(h);
}

// The program's mailbox, told the order, on a server that refuses TOP: every message arrives,
// and once the refusal is known a message is asked for exactly as often as it is read.
TEST(Pop3Peer, MessagesInOrderOnAServerWithoutTopArriveAndRecover) {
    ScriptedPeer peer("+OK ready\r\n", mailbox(6, [](const std::string& c) -> std::string {
                          if (c.starts_with("TOP ")) return "-ERR unknown command\r\n";
                          if (c.starts_with("RETR "))
                              return "+OK\r\nSubject: m" + c.substr(5) + "\r\n\r\nbody " +
                                     c.substr(5) + "\r\n.\r\n";
                          return "";
                      }));
    auto box = Pop3Mailbox::open({peer.address(), {Security::None, {}}, {{}, "u", "p"}});
    box->fetchInOrder({1, 2, 3, 4, 5, 6});
    for (int n = 1; n <= 6; ++n) {
        EXPECT_EQ(box->header(n).subject, "m" + std::to_string(n));
        EXPECT_EQ(box->size(n), 100);
        EXPECT_EQ(box->fetch(n, "").body, "body " + std::to_string(n) + "\r\n");
    }
    box->close();
    auto commands = peer.commands();
    EXPECT_EQ(countOf(commands, "LIST"), 1);
    // Message 6 is first asked for after the first refusal.
    EXPECT_EQ(countOf(commands, "TOP 6 0"), 1);
    EXPECT_EQ(countOf(commands, "RETR 6"), 2);
}

// Its reply would have to be read whole to reach the next one.
TEST(Pop3Peer, AMessageListedBeyondTheLimitIsNeverAskedForAhead) {
    ScriptedPeer peer("+OK ready\r\n", mailbox(2, [](const std::string& c) -> std::string {
                          return c == "LIST" ? "+OK\r\n1 999999999999999\r\n2 100\r\n.\r\n" : "";
                      }));
    auto box = Pop3Mailbox::open({peer.address(), {Security::None, {}}, {{}, "u", "p"}});
    box->fetchInOrder({1, 2});
    EXPECT_THROW(box->fetch(1, ""), MailError);
    EXPECT_EQ(box->fetch(2, "").texts.subject, "m2");
    box->close();
    EXPECT_EQ(countOf(peer.commands(), "RETR 1"), 0);
}

TEST(Pop3Peer, ConnectionDroppedInAReplyAskedForAheadFailsCleanly) {
    ScriptedPeer peer(loggedIn(1) + Transcript{"C: LIST", "S: +OK\r\n1 100\r\n.", "C: TOP 1 0",
                                               raw("+OK\r\nSubject: cut"), drop});
    auto box = Pop3Mailbox::connect(peer.address(), {Security::None, {}, false});
    ASSERT_EQ(box->login({{}, "u", "p"}), 1);
    box->askAhead({1});
    try {
        box->header(1);
        ADD_FAILURE() << "a cut reply gave a header";
    } catch (const MailError& e) {
        EXPECT_EQ(e.kind(), MailError::Kind::Broken);
        EXPECT_NE(std::string(e.what()).find(peer.address()), std::string::npos) << e.what();
    }
    box->askAhead({1});  // a broken connection asks for nothing
    box->close();
}

// Hundreds of kilobytes of every kind of line, so that some are cut between two reads: dots
// come off, bare line feeds become CR LF, everything else arrives as it was sent.
TEST(Pop3Peer, EveryKindOfLineArrivesRightAcrossReads) {
    std::mt19937 rng(22);
    std::string wire, expected;
    while (wire.size() < 700000) {
        std::string text(rng() % 90, 'x');
        for (char& c : text) c = static_cast<char>('A' + rng() % 26);
        switch (rng() % 6) {
            case 0:  // dot-stuffed
                wire += ".." + text + "\r\n", expected += "." + text + "\r\n";
                break;
            case 1:  // bare line feed
                wire += text + "\n", expected += text + "\r\n";
                break;
            case 2:  // a carriage return of its own before the line end
                wire += text + "\r\r\n", expected += text + "\r\r\n";
                break;
            default:
                wire += text + "\r\n", expected += text + "\r\n";
        }
    }
    ScriptedPeer peer("+OK ready\r\n", mailbox(1, [&](const std::string& c) -> std::string {
                          if (c == "RETR 1") return "+OK\r\n" + wire + ".\r\n";
                          if (c == "LIST")
                              return "+OK\r\n1 " + std::to_string(wire.size()) + "\r\n.\r\n";
                          return "";
                      }));
    auto box = Pop3Mailbox::open({peer.address(), {Security::None, {}}, {{}, "u", "p"}});
    EXPECT_TRUE(box->receive(1).view() == expected);
    box->close();
}
