// What each kind of server fault gives the caller, and what the connection is good for after it.
#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "mail/header_text.h"
#include "mail/maillib.h"
#include "mail/mime_message.h"
#include "mail/pop3_connection.h"
#include "mail/read_ahead.h"
#include "platform/codepage.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

struct Texts {
    std::vector<char> subject = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> date = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> from = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> header = std::vector<char>(kMailBufferBytes, 'x');
    std::vector<char> names = std::vector<char>(kMailBufferBytes, 'x');
};

std::string errorText() {
    std::vector<char> buf(kMailBufferBytes);
    MailLibGetMessage(0, buf.data(), kMailTextSize);
    return buf.data();
}

int countOf(const std::vector<std::string>& commands, const std::string& command) {
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

bool startsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }

// Short waits, and the limits as they were at the end.
struct ShortWaits {
    Pop3Timeouts savedTimeouts = pop3Timeouts();
    Pop3Limits savedLimits = pop3Limits();
    ShortWaits() { pop3Timeouts().connectMs = pop3Timeouts().readMs = 500; }
    ~ShortWaits() {
        pop3Timeouts() = savedTimeouts;
        pop3Limits() = savedLimits;
    }
};

std::string message(int n) {
    return "Subject: m" + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) + "\r\n";
}

// Two messages of 100 octets each; `fault` answers first, when it has something to say.
ScriptedPeer::Answer mailbox(std::function<std::string(const std::string&)> fault,
                             std::string list = "+OK\r\n1 100\r\n2 100\r\n.\r\n") {
    return [fault, list](const std::string& c) -> std::string {
        if (std::string reply = fault(c); !reply.empty()) return reply;
        if (c == "STAT") return "+OK 2 200\r\n";
        if (c == "LIST") return list;
        if (c == "UIDL") return "+OK\r\n1 one\r\n2 two\r\n.\r\n";
        for (int n : {1, 2}) {
            if (c == "TOP " + std::to_string(n) + " 0")
                return "+OK\r\nSubject: m" + std::to_string(n) + "\r\n\r\n.\r\n";
            if (c == "RETR " + std::to_string(n)) return "+OK\r\n" + message(n) + ".\r\n";
        }
        return "+OK\r\n";
    };
}

int login(const ScriptedPeer& peer) {
    int h = MailLibPop3Connect(peer.address().c_str());
    EXPECT_NE(h, -1) << errorText();
    // A password that no server text here holds: every occurrence of it is masked.
    EXPECT_EQ(MailLibPop3Authenticate(h, "u", "Pw-42", 0), 2) << errorText();
    return h;
}

int status(int h, int n, Texts& t) {
    return MailLibPop3GetMailStatus(h, n, t.subject.data(), t.date.data(), t.from.data(),
                                    t.header.data(), 0);
}

// GetMail with a buffer as large as GetMailSize says (none when it has no size).
int fetch(int h, int n, Texts& t, std::string& body, const char* folder = nullptr) {
    int size = MailLibPop3GetMailSize(h, n);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 0);
    int code =
        MailLibPop3GetMail(h, n, t.subject.data(), t.date.data(), t.from.data(), t.header.data(),
                           buffer.empty() ? nullptr : buffer.data(), folder, t.names.data());
    body = buffer.empty() ? std::string() : std::string(buffer.data());
    return code;
}

int deleteMail(int h, int n) { return MailLibPop3DeleteMail(h, n); }

}  // namespace

// One row per fault: the call that meets it, the code and text it gives, and then either every
// later call on the handle is Broken, or message 2 still comes on the same connection.
TEST(Pop3Faults, EachFaultGivesItsCodeAndLeavesTheConnectionAsItShould) {
    enum Call { Status, Mail, Delete };
    struct Row {
        const char* label;
        std::function<std::string(const std::string&)> fault;
        Call call;
        int code;
        std::string text;
        std::string list = "+OK\r\n1 100\r\n2 100\r\n.\r\n";
        std::size_t messageLimit = kPop3MaxMessageBytes;
        const char* notSent = nullptr;  // a command the call must not send
    };
    auto on = [](std::string command, std::string reply) {
        return [command, reply](const std::string& c) { return c == command ? reply : ""; };
    };
    const std::string trickled = "+OK\r\nSubject: slow\r\n\r\n" + std::string(300, 't');
    const std::vector<Row> rows = {
        {"drop inside RETR", on("RETR 1", "+OK\r\nSubject: cut\r\n\r\nfirst li<drop>"), Mail,
         kMailLibBroken, "接続が切れました"_cp},
        {"stall inside RETR", on("RETR 1", "+OK\r\nSubject: slow\r\n\r\nfirst<stall>"), Mail,
         kMailLibBroken, "タイムアウト"_cp},
        {"trickle inside RETR", on("RETR 1", trickled + "<trickle>"), Mail, kMailLibBroken,
         "応答が遅すぎます"_cp},
        {"endless line inside RETR",
         on("RETR 1", "+OK\r\nSubject: x\r\n\r\n" + std::string(kPop3MaxLineBytes + 10, 'l')), Mail,
         kMailLibBroken, "長すぎます"_cp},
        {"reply past the message limit",
         on("RETR 1", "+OK\r\n" + std::string(70000, 'x') + "\r\n.\r\n"), Mail, kMailLibBroken,
         "応答が大きすぎます"_cp, "+OK\r\n1 100\r\n2 100\r\n.\r\n", 65536},
        {"no status line to RETR", on("RETR 1", "Subject: m1\r\n\r\n.\r\n"), Mail, kMailLibBroken,
         "応答が正しくありません"_cp},
        {"drop inside the TOP header", on("TOP 1 0", "+OK\r\nSubject: cu<drop>"), Status,
         kMailLibBroken, "接続が切れました"_cp},
        {"stall inside the TOP header", on("TOP 1 0", "+OK\r\nSubject: cu<stall>"), Status,
         kMailLibBroken, "タイムアウト"_cp},
        {"trickle inside the TOP header", on("TOP 1 0", trickled + "<trickle>"), Status,
         kMailLibBroken, "応答が遅すぎます"_cp},
        {"drop after the RETR status", on("RETR 1", "+OK\r\n<drop>"), Mail, kMailLibBroken,
         "接続が切れました"_cp},
        {"RETR refused", on("RETR 1", "-ERR message is locked\r\n"), Mail, kMailLibRefused,
         "-ERR message is locked"},
        {"TOP and RETR refused",
         [](const std::string& c) -> std::string {
             return c == "TOP 1 0" || c == "RETR 1" ? "-ERR no such message\r\n" : "";
         },
         Status, kMailLibRefused, "-ERR no such message"},
        {"DELE refused", on("DELE 1", "-ERR not now\r\n"), Delete, kMailLibRefused, "-ERR not now"},
        {"listed beyond the message limit, fetch", on("", ""), Mail, kMailLibRefused,
         "メッセージ 1 は大きすぎます (1073741825 バイト)"_cp,
         "+OK\r\n1 1073741825\r\n2 100\r\n.\r\n", kPop3MaxMessageBytes, "RETR 1"},
        {"listed beyond the message limit, status", on("", ""), Status, kMailLibRefused,
         "大きすぎます"_cp, "+OK\r\n1 99999999999999999999999\r\n2 100\r\n.\r\n",
         kPop3MaxMessageBytes, "TOP 1 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ShortWaits waits;
        pop3Limits().maxMessageBytes = row.messageLimit;
        ScriptedPeer peer("+OK ready\r\n", mailbox(row.fault, row.list));
        int h = login(peer);
        Texts t;
        std::string body;
        int code = row.call == Status ? status(h, 1, t)
                   : row.call == Mail ? fetch(h, 1, t, body, nullptr)
                                      : deleteMail(h, 1);
        EXPECT_EQ(code, row.code);
        std::string error = errorText();
        EXPECT_NE(error.find(row.text), std::string::npos) << error;
        EXPECT_NE(error.find(peer.address()), std::string::npos) << error;
        EXPECT_EQ(t.subject[0], row.call == Delete ? 'x' : '\0');
        if (row.code == kMailLibBroken) {
            std::vector<char> id(kMailBufferBytes);
            EXPECT_EQ(MailLibPop3GetUidl(h, 2, id.data(), kMailTextSize), kMailLibBroken);
            EXPECT_EQ(MailLibPop3GetMailSize(h, 2), kMailLibBroken);
            EXPECT_EQ(status(h, 2, t), kMailLibBroken);
            EXPECT_EQ(fetch(h, 2, t, body), kMailLibBroken);
            EXPECT_EQ(deleteMail(h, 2), kMailLibBroken);
            EXPECT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), kMailLibBroken);
            // Still the first reason.
            EXPECT_NE(errorText().find(row.text), std::string::npos) << errorText();
        } else {
            EXPECT_EQ(status(h, 2, t), 0) << errorText();
            EXPECT_STREQ(t.subject.data(), "m2");
            EXPECT_EQ(fetch(h, 2, t, body), 0) << errorText();
            EXPECT_EQ(body, "body 2\r\n");
        }
        EXPECT_EQ(MailLibPop3Close(h), 0);
        if (row.notSent) {
            EXPECT_EQ(countOf(peer.commands(), row.notSent), 0);
        }
        // A trickle ends at the deadline, long before the server is through.
        if (std::string(row.label).find("trickle") != std::string::npos) {
            EXPECT_LT(peer.trickled(), trickled.size() / 2);
        }
    }
}

TEST(Pop3Faults, LoginFaultsTellARefusalFromABrokenConnection) {
    struct Row {
        const char* label;
        std::string greeting;
        std::function<std::string(const std::string&)> answer;
        const char* user;
        const char* password;
        int apop;
        int code;
    };
    auto answering = [](std::string command, std::string reply) {
        return [command, reply](const std::string& c) {
            return startsWith(c, command) ? reply : std::string("+OK 1 10\r\n");
        };
    };
    const std::vector<Row> rows = {
        {"password refused", "+OK hi\r\n", answering("PASS", "-ERR no\r\n"), "u", "p", 0,
         kMailLibRefused},
        {"user refused", "+OK hi\r\n", answering("USER", "-ERR who?\r\n"), "u", "p", 0,
         kMailLibRefused},
        {"apop refused", "+OK <1.2@h>\r\n", answering("APOP", "-ERR no\r\n"), "u", "p", -1,
         kMailLibRefused},
        {"apop without a time stamp", "+OK hi\r\n", answering("", "+OK\r\n"), "u", "p", -1,
         kMailLibRefused},
        {"line break in the password", "+OK hi\r\n", answering("", "+OK\r\n"), "u", "p\r\nX", 0,
         kMailLibRefused},
        {"line break in the user", "+OK hi\r\n", answering("", "+OK\r\n"), "u\nX", "p", 0,
         kMailLibRefused},
        {"dropped at PASS", "+OK hi\r\n", answering("PASS", "<drop>"), "u", "p", 0, kMailLibBroken},
        {"no POP3 reply to USER", "+OK hi\r\n", answering("USER", "hello?\r\n"), "u", "p", 0,
         kMailLibBroken},
        {"STAT without a count", "+OK hi\r\n", answering("STAT", "+OK many\r\n"), "u", "p", 0,
         kMailLibBroken},
        {"logged in", "+OK hi\r\n", answering("STAT", "+OK 1 10\r\n"), "u", "p", 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ScriptedPeer peer(row.greeting, row.answer);
        int h = MailLibPop3Connect(peer.address().c_str());
        ASSERT_NE(h, -1) << errorText();
        EXPECT_EQ(MailLibPop3Authenticate(h, row.user, row.password, row.apop), row.code);
        if (row.code < 0) {
            EXPECT_NE(errorText().find(peer.address()), std::string::npos);
        }
        MailLibPop3Close(h);
    }
}

// The listing's size is a hint: whatever it says, the message arrives whole, with exactly one
// RETR; a size the library does not take is refused without asking for the message.
TEST(Pop3Sizes, TheMessageArrivesWholeWhateverTheListingSays) {
    const std::string body = std::string(300, 'b') + "\r\n" + "\x82\xA0\x82\xA2";  // あい
    const std::string raw =
        "Subject: sized\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
        "--B\r\nContent-Type: text/plain; charset=shift_jis\r\n\r\n" +
        body +
        "\r\n--B\r\nContent-Type: application/octet-stream; name=a.bin\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--B--\r\n";
    struct Row {
        const char* label;
        std::string listLine;    // the LIST line for message 1, if any
        int firstSize;           // what GetMailSize says first
        int firstCode;           // what the first GetMail gives
        std::size_t fitted = 0;  // bytes of the body the first GetMail writes
    };
    const int whole = static_cast<int>(body.size()) + 1;
    const std::vector<Row> rows = {
        {"exact", "1 " + std::to_string(raw.size()), static_cast<int>(raw.size()), 0},
        {"too small", "1 40", 40, kMailLibBodyTooLarge, 39},
        {"cut inside a character", "1 304", 304, kMailLibBodyTooLarge, 302},
        {"zero", "1 0", 0, kMailLibBodyTooLarge},
        {"missing", "", kMailLibFailed, kMailLibBodyTooLarge},
        {"not a number", "1 12abc", kMailLibFailed, kMailLibBodyTooLarge},
        {"negative", "1 -5", kMailLibFailed, kMailLibBodyTooLarge},
        {"too large", "1 900000000", kMailBodyHintLimit, 0},
        {"absurd", "1 999999999999999", kMailBodyHintLimit, kMailLibRefused},
        {"beyond any number", "1 100000000000000000000000000", kMailBodyHintLimit, kMailLibRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ScriptedPeer peer("+OK ready\r\n", mailbox([&](const std::string& c) -> std::string {
                              if (c == "LIST")
                                  return "+OK\r\n" +
                                         (row.listLine.empty() ? "" : row.listLine + "\r\n") +
                                         "2 100\r\n.\r\n";
                              if (c == "RETR 1") return "+OK\r\n" + raw + ".\r\n";
                              return "";
                          }));
        int h = login(peer);
        TempDir folder;
        Texts t;
        int size = MailLibPop3GetMailSize(h, 1);
        EXPECT_EQ(size, row.firstSize) << errorText();
        std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 0, 'x');
        int code = MailLibPop3GetMail(h, 1, t.subject.data(), t.date.data(), t.from.data(),
                                      t.header.data(), buffer.empty() ? nullptr : buffer.data(),
                                      folder.path().c_str(), t.names.data());
        EXPECT_EQ(code, row.firstCode) << errorText();
        if (code == kMailLibRefused) {
            EXPECT_EQ(countOf(peer.commands(), "RETR 1"), 0);
            EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
        } else {
            EXPECT_STREQ(t.subject.data(), "sized");
            EXPECT_STREQ(t.names.data(), "a.bin");
        }
        if (code == kMailLibBodyTooLarge) {
            // What fit, in whole characters; then the room the body needs, and all of it.
            if (!buffer.empty()) {
                EXPECT_EQ(std::string(buffer.data()), body.substr(0, row.fitted));
            }
            EXPECT_NE(errorText().find(std::to_string(whole)), std::string::npos);
            ASSERT_EQ(MailLibPop3GetMailSize(h, 1), whole);
            buffer.assign(static_cast<std::size_t>(whole), 'x');
            t = Texts{};
            code = MailLibPop3GetMail(h, 1, t.subject.data(), t.date.data(), t.from.data(),
                                      t.header.data(), buffer.data(), folder.path().c_str(),
                                      t.names.data());
            EXPECT_EQ(code, 0) << errorText();
            EXPECT_STREQ(t.subject.data(), "sized");
            EXPECT_STREQ(t.names.data(), "a.bin");
        }
        if (code == 0) {
            EXPECT_EQ(std::string(buffer.data()), body);
            EXPECT_EQ(readBytes(folder.file("a.bin")), "ABC");
            // Written once: no "a(1).bin" from a second round.
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                                    std::filesystem::directory_iterator()),
                      1);
            EXPECT_EQ(countOf(peer.commands(), "RETR 1"), 1);
        }
        // The connection is fine, and the kept message goes with the next one fetched.
        std::string second;
        EXPECT_EQ(fetch(h, 2, t, second), 0) << errorText();
        EXPECT_EQ(second, "body 2\r\n");
        if (row.firstCode == kMailLibBodyTooLarge) {
            EXPECT_EQ(MailLibPop3GetMailSize(h, 1), row.firstSize);
        }
        MailLibPop3Close(h);
    }
}

TEST(Pop3Sizes, AFailedSizeListingIsNoFailedConnection) {
    ScriptedPeer peer("+OK ready\r\n", mailbox([](const std::string& c) -> std::string {
                          return c == "LIST" ? "-ERR no LIST here\r\n" : "";
                      }));
    int h = login(peer);
    EXPECT_EQ(MailLibPop3GetMailSize(h, 1), kMailLibFailed);
    EXPECT_NE(errorText().find("-ERR no LIST here"), std::string::npos) << errorText();
    EXPECT_EQ(MailLibPop3GetMailSize(h, 2), kMailLibFailed);
    Texts t;
    std::string body;
    EXPECT_EQ(fetch(h, 1, t, body), kMailLibBodyTooLarge);
    EXPECT_EQ(fetch(h, 1, t, body), 0) << errorText();
    EXPECT_EQ(body, "body 1\r\n");
    MailLibPop3Close(h);
    auto commands = peer.commands();
    EXPECT_EQ(countOf(commands, "LIST"), 1);
    EXPECT_EQ(countOf(commands, "RETR 1"), 1);
}

// The order a poll fetches in, with the next messages asked for ahead: a refused message and a
// second round for a body that did not fit leave the replies asked for ahead in step.
TEST(Pop3Sizes, MessagesAskedForAheadStayInStepThroughRefusalsAndSecondRounds) {
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK 3 0\r\n";
        if (c == "LIST") return "+OK\r\n1 2000000000\r\n2 10\r\n3 100\r\n.\r\n";
        for (int n : {1, 2, 3}) {
            if (c == "TOP " + std::to_string(n) + " 0")
                return "+OK\r\nSubject: m" + std::to_string(n) + "\r\n\r\n.\r\n";
            if (c == "RETR " + std::to_string(n))
                return "+OK\r\n" + message(n) + (n == 2 ? std::string(50, 'x') + "\r\n" : "") +
                       ".\r\n";
        }
        return "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "Pw-42", 0), 3);
    Pop3ReadAhead(h, std::vector<int>{1, 2, 3});
    Texts t;
    std::string body;
    EXPECT_EQ(status(h, 1, t), kMailLibRefused);
    EXPECT_EQ(fetch(h, 1, t, body), kMailLibRefused);
    EXPECT_EQ(status(h, 2, t), 0) << errorText();
    EXPECT_EQ(fetch(h, 2, t, body), kMailLibBodyTooLarge);
    EXPECT_EQ(fetch(h, 2, t, body), 0) << errorText();
    EXPECT_EQ(body, "body 2\r\n" + std::string(50, 'x') + "\r\n");
    EXPECT_EQ(status(h, 3, t), 0) << errorText();
    EXPECT_STREQ(t.subject.data(), "m3");
    EXPECT_EQ(fetch(h, 3, t, body), 0) << errorText();
    EXPECT_EQ(body, "body 3\r\n");
    MailLibPop3Close(h);
    auto commands = peer.commands();
    EXPECT_EQ(countOf(commands, "TOP 1 0") + countOf(commands, "RETR 1"), 0);
    EXPECT_EQ(countOf(commands, "RETR 2"), 1);
    EXPECT_EQ(countOf(commands, "RETR 3"), 1);
}

// Ids as the ledger stores them: printable ones unchanged, any other escaped after a blank.
TEST(Pop3Ids, EveryIdIsStoredFaithfullyAndDistinctly) {
    struct Row {
        std::string onWire;
        std::string stored;
    };
    const std::vector<Row> rows = {
        {"abc", "abc"},
        {"a%41", "a%41"},
        {"abc\rdef", " abc%0Ddef"},
        {"abc\r", " abc%0D"},
        {std::string("ab\0cd", 5), " ab%00cd"},
        {"\x82\xA0x", " %82%A0x"},
        {"a%41\x7F", " a%2541%7F"},
        {"A\x01", " A%01"},
    };
    std::string listing = "+OK\r\n";
    for (std::size_t i = 0; i < rows.size(); ++i)
        listing += (i % 2 ? "\t" : "") + std::to_string(i + 1) + "  " + rows[i].onWire +
                   (i % 3 ? " \r\n" : "\r\n");
    listing += ".\r\n";
    ScriptedPeer peer("+OK ready\r\n", [&](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK " + std::to_string(rows.size()) + " 0\r\n";
        if (c == "UIDL") return listing;
        return "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), static_cast<int>(rows.size()));
    std::set<std::string> seen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i + 1);
        std::vector<char> id(kMailBufferBytes, 'x');
        EXPECT_EQ(MailLibPop3GetUidl(h, static_cast<int>(i + 1), id.data(), kMailTextSize), 0);
        EXPECT_EQ(std::string(id.data()), rows[i].stored);
        seen.insert(id.data());
    }
    EXPECT_EQ(seen.size(), rows.size());
    MailLibPop3Close(h);
}

TEST(Pop3Ids, TheListingNotTheCountSaysWhereTheMessagesEnd) {
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        if (c == "STAT") return "+OK 2147483647 0\r\n";
        if (c == "UIDL") return "+OK\r\n1 a\r\n2 b\r\n4 d\r\n.\r\n";
        return "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "p", 0), 2147483647);
    std::vector<char> id(kMailBufferBytes, 'x');
    struct Row {
        int number;
        int code;
        const char* id;
    };
    for (const Row& row : std::vector<Row>{{1, 0, "a"},
                                           {3, kMailLibFailed, ""},
                                           {4, 0, "d"},
                                           {5, kMailLibListEnd, ""},
                                           {2147483647, kMailLibListEnd, ""},
                                           {2, 0, "b"},
                                           {0, kMailLibFailed, ""}}) {
        SCOPED_TRACE(row.number);
        EXPECT_EQ(MailLibPop3GetUidl(h, row.number, id.data(), kMailTextSize), row.code);
        EXPECT_STREQ(id.data(), row.id);
    }
    MailLibPop3Close(h);
    EXPECT_EQ(countOf(peer.commands(), "UIDL"), 1);
}

TEST(Pop3Ids, ARefusedListingIsRefusedOnceAndTheConnectionGoesOn) {
    ScriptedPeer peer("+OK ready\r\n", mailbox([](const std::string& c) -> std::string {
                          return c == "UIDL" ? "-ERR UIDL not supported\r\n" : "";
                      }));
    int h = login(peer);
    std::vector<char> id(kMailBufferBytes);
    EXPECT_EQ(MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize), kMailLibRefused);
    EXPECT_EQ(MailLibPop3GetUidl(h, 2, id.data(), kMailTextSize), kMailLibRefused);
    EXPECT_NE(errorText().find("UIDL not supported"), std::string::npos) << errorText();
    EXPECT_EQ(MailLibPop3GetMailSize(h, 1), 100);
    MailLibPop3Close(h);
    EXPECT_EQ(countOf(peer.commands(), "UIDL"), 1);
}

// The password is masked in the server's words before they are cut to length, so no part of it
// survives the cut.
TEST(Pop3Secrets, AnEchoedPasswordNeverShowsNotEvenCutInHalf) {
    const std::string password = "Sesame-0123456789-abcdefghij";
    struct Row {
        const char* label;
        std::size_t padding;  // bytes before the echo
        const char* command;
        const char* trailer;
    };
    const std::vector<Row> rows = {
        {"before the cut", 100, "PASS", "\r\n"},
        {"across the cut", 280, "PASS", "\r\n"},
        {"just at the cut", 294, "PASS", "\r\n"},
        {"after the cut", 320, "PASS", "\r\n"},
        {"twice, one across the cut", 260, "PASS", "\r\n"},
        {"in a reply that is no POP3", 280, "STAT", "\r\n"},
        {"in the count of STAT", 280, "STAT+", "\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::string padding(row.padding, 'e');
        std::string label = row.label;
        ScriptedPeer peer("+OK ready\r\n", [&](const std::string& c) -> std::string {
            std::string echo = padding + password;
            if (label.find("twice") != std::string::npos) echo = password + padding + password;
            if (std::string(row.command) == "PASS" && startsWith(c, "PASS "))
                return "-ERR " + echo + row.trailer;
            if (std::string(row.command) == "STAT" && c == "STAT") return echo + row.trailer;
            if (std::string(row.command) == "STAT+" && c == "STAT")
                return "+OK x" + echo + row.trailer;
            return "+OK\r\n";
        });
        int h = MailLibPop3Connect(peer.address().c_str());
        ASSERT_NE(h, -1);
        EXPECT_LT(MailLibPop3Authenticate(h, "u", password.c_str(), 0), 0);
        std::string error = errorText();
        // "-ERR " stands before the padding; an echo past the cut is cut off whole.
        if (row.padding + 5 < 300) {
            EXPECT_NE(error.find("*"), std::string::npos) << error;
        }
        EXPECT_EQ(error.find(password.substr(0, 7)), std::string::npos) << error;
        EXPECT_EQ(error.find("0123456789"), std::string::npos) << error;
        MailLibPop3Close(h);
    }
}

namespace {

std::string attachment(const std::string& name, std::size_t bytes) {
    std::string data;
    for (std::size_t i = 0; i < bytes; ++i) data += static_cast<char>('A' + i % 26);
    ensureMimeInitialised();
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, GMIME_CONTENT_ENCODING_BASE64);
    std::string encoded(g_mime_encoding_outlen(&state, data.size()), '\0');
    encoded.resize(g_mime_encoding_flush(&state, data.data(), data.size(), encoded.data()));
    return "--B\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: "
           "base64\r\nContent-Disposition: attachment; filename=" +
           name + "\r\n\r\n" + toCrLf(encoded);
}

std::string withAttachments() {
    return "Subject: files\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
           "--B\r\nContent-Type: text/plain\r\n\r\nsee the files\r\n" +
           attachment("a.bin", 10000) + attachment("big.bin", 300000) + attachment("c.bin", 1000) +
           "--B--\r\n";
}

std::string folderContent(const std::string& folder) {
    std::string names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names += e.path().filename().string() + "=" + std::to_string(e.file_size()) + " ";
    return names;
}

}  // namespace

// A write that fails leaves no part of that attachment, writes none after it, and says why.
TEST(Pop3Attachments, AFailedWriteLeavesNoPartialFileAndNamesTheFile) {
    struct Row {
        const char* label;
        bool fileSizeLimit;  // else the folder is a file
        std::string names;
        std::string files;
        std::string reason;
    };
    const std::vector<Row> rows = {
        {"file-size limit", true, "a.bin", "a.bin=10000 ", "big.bin"},
        {"folder that is a file", false, "", "", "a.bin"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string raw = withAttachments();
        ScriptedPeer peer("+OK ready\r\n", mailbox([&](const std::string& c) -> std::string {
                              return c == "RETR 1" ? "+OK\r\n" + raw + ".\r\n" : "";
                          }));
        TempDir dir;
        std::string folder = dir.path() + "out/";
        std::filesystem::create_directory(folder);
        if (!row.fileSizeLimit) {
            folder = dir.file("plain");
            writeBytes(folder, "x");
        }
        // In a child: the limit (whose signal the program ignores) must not hit this process.
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            close(pipeFds[0]);
            if (row.fileSizeLimit) {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit{100000, 100000};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            int h = MailLibPop3Connect(peer.address().c_str());
            MailLibPop3Authenticate(h, "u", "p", 0);
            Texts t;
            std::string body;
            int code = fetch(h, 1, t, body, folder.c_str());
            std::string report =
                std::to_string(code) + "\n" + t.names.data() + "\n" + body + "\n" + errorText();
            MailLibPop3Close(h);
            bool written = write(pipeFds[1], report.data(), report.size()) ==
                           static_cast<ssize_t>(report.size());
            _exit(written ? 0 : 1);
        }
        close(pipeFds[1]);
        std::string report;
        char buf[4096];
        for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
            report.append(buf, static_cast<std::size_t>(n));
        close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::vector<std::string> lines;
        for (std::size_t at = 0, nl;
             lines.size() < 3 && (nl = report.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(report.substr(at, nl - at));
        ASSERT_EQ(lines.size(), 3u) << report;
        std::string error = report.substr(lines[0].size() + lines[1].size() + lines[2].size() + 3);
        EXPECT_EQ(std::stoi(lines[0]), kMailLibAttachmentFailed);
        EXPECT_EQ(lines[1], row.names);
        EXPECT_EQ(lines[2], "see the files");
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        // The system's reason follows the file name.
        EXPECT_NE(error.find(": ", error.find(row.reason)), std::string::npos) << error;
        if (row.fileSizeLimit) {
            EXPECT_EQ(folderContent(folder), row.files);
        }
    }
}
