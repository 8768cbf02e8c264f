// The POP3 functions against a scripted peer, by kind of fault: how each leaves the connection,
// sizes the listing gets wrong, ids, echoed passwords, failed attachment writes.
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
#include <set>
#include <vector>

#include "mail/maillib.h"
#include "mail/pop3/pop3_connection.h"
#include "platform/codepage.h"
#include "support/pop3_calls.h"
#include "support/programs.h"
#include "support/scripted_mailbox.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::mail;
using namespace korv::test;

namespace {

// Two messages of 100 octets as listed; `replies` answers first where it has the command.
ScriptedPeer::Answer twoMessages(std::map<std::string, std::string> replies) {
    return mailbox(2, [replies](const std::string& c) -> std::string {
        if (auto it = replies.find(c); it != replies.end()) return it->second;
        std::string n = c.substr(c.find(' ') + 1, 1);
        if (c == "TOP " + n + " 0") return "+OK\r\nSubject: m" + n + "\r\n\r\n.\r\n";
        if (c == "RETR " + n) return "+OK\r\nSubject: m" + n + "\r\n\r\nbody " + n + "\r\n.\r\n";
        return "";
    });
}

// GetMail into a buffer as large as GetMailSize says (none when it has no size).
int fetch(int h, int n, Texts& t, std::string& body, const std::string& folder = "") {
    int size = MailLibPop3GetMailSize(h, n);
    std::vector<char> buffer(std::max(size, 0) + std::size_t{1}, 'x');
    int code = MailLibPop3GetMail(h, n, t.subject.data(), t.date.data(), t.from.data(),
                                  t.header.data(), buffer.data(), folder.c_str(), t.names.data());
    body = size > 0 ? buffer.data() : "";
    return code;
}

}  // namespace

// Per fault: the code, and then either every later call on the handle is Broken (with the first
// reason), or message 2 still comes on the same connection.
TEST(Pop3Faults, EachFaultGivesItsCodeAndLeavesTheConnectionAsItShould) {
    enum Call { Status, Mail, Delete, Uidl };
    struct Row {
        const char* label;
        std::string command, reply;
        Call call;
        int code;
        std::string text;
        std::size_t limit = kPop3MaxMessageBytes;
    };
    const std::string slow = "+OK\r\nSubject: slow\r\n\r\n" + std::string(300, 't') + "<trickle>";
    const std::string huge = "+OK\r\n1 1073741825\r\n2 100\r\n.\r\n";
    const std::vector<Row> rows = {
        {"drop in RETR", "RETR 1", "+OK\r\nSubject: a\r\n\r\nfirst li<drop>", Mail, kMailLibBroken,
         "接続が切れました"_cp},
        {"stall in RETR", "RETR 1", "+OK\r\nSubject: a\r\n\r\nfirst<stall>", Mail, kMailLibBroken,
         "タイムアウト"_cp},
        {"trickle in RETR", "RETR 1", slow, Mail, kMailLibBroken, "応答が遅すぎます"_cp},
        {"endless line in RETR", "RETR 1", "+OK\r\n" + std::string(kPop3MaxLineBytes + 9, 'l'),
         Mail, kMailLibBroken, "長すぎます"_cp},
        {"reply past the limit", "RETR 1", "+OK\r\n" + std::string(70000, 'x') + "\r\n.\r\n", Mail,
         kMailLibBroken, "応答が大きすぎます"_cp, 65536},
        {"drop in the TOP header", "TOP 1 0", "+OK\r\nSubject: cu<drop>", Status, kMailLibBroken,
         "接続が切れました"_cp},
        {"stall in the TOP header", "TOP 1 0", "+OK\r\nSubject: cu<stall>", Status, kMailLibBroken,
         "タイムアウト"_cp},
        {"trickle in the TOP header", "TOP 1 0", slow, Status, kMailLibBroken,
         "応答が遅すぎます"_cp},
        {"RETR refused", "RETR 1", "-ERR locked\r\n", Mail, kMailLibRefused, "-ERR locked"},
        {"TOP and RETR refused", "TOP 1 0", "-ERR gone\r\n", Status, kMailLibRefused, "-ERR gone"},
        {"DELE refused", "DELE 1", "-ERR not now\r\n", Delete, kMailLibRefused, "-ERR not now"},
        {"UIDL refused", "UIDL", "-ERR no UIDL\r\n", Uidl, kMailLibRefused, "-ERR no UIDL"},
        {"listed too large, fetched", "LIST", huge, Mail, kMailLibRefused,
         "メッセージ 1 は大きすぎます (1073741825 バイト)"_cp},
        {"listed too large, status", "LIST", huge, Status, kMailLibRefused, "大きすぎます"_cp},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ShortTimeouts shortWaits;
        pop3Limits().maxMessageBytes = row.limit;
        std::map<std::string, std::string> replies = {{row.command, row.reply}};
        if (row.command == "TOP 1 0" && row.code == kMailLibRefused) replies["RETR 1"] = row.reply;
        ScriptedPeer peer("+OK ready\r\n", twoMessages(replies));
        peer.setTrickleMs(100);  // far below the idle time-out: only the deadline stops it
        int h = MailLibPop3Connect(peer.address().c_str());
        ASSERT_EQ(MailLibPop3Authenticate(h, "u", "Pw-42", 0), 2);
        Texts t;
        std::string body;
        std::vector<char> id(kMailBufferBytes);
        int code = row.call == Status ? status(h, 1, t)
                   : row.call == Mail ? fetch(h, 1, t, body)
                   : row.call == Uidl ? MailLibPop3GetUidl(h, 1, id.data(), kMailTextSize)
                                      : MailLibPop3DeleteMail(h, 1);
        EXPECT_EQ(code, row.code);
        EXPECT_NE(errorText().find(row.text), std::string::npos) << errorText();
        EXPECT_NE(errorText().find(peer.address()), std::string::npos) << errorText();
        if (row.code == kMailLibBroken) {
            for (int later :
                 {MailLibPop3GetUidl(h, 2, id.data(), kMailTextSize), MailLibPop3GetMailSize(h, 2),
                  status(h, 2, t), fetch(h, 2, t, body), MailLibPop3DeleteMail(h, 2),
                  MailLibPop3Authenticate(h, "u", "Pw-42", 0)})
                EXPECT_EQ(later, kMailLibBroken);
            EXPECT_NE(errorText().find(row.text), std::string::npos) << errorText();
        } else {
            EXPECT_EQ(status(h, 2, t), 0) << errorText();
            EXPECT_EQ(fetch(h, 2, t, body), 0) << errorText();
            EXPECT_EQ(body, "body 2\r\n");
        }
        EXPECT_EQ(MailLibPop3Close(h), 0);
        // Refused for its size: never asked for. A trickle ends long before the server is through.
        if (row.command == "LIST") {
            EXPECT_EQ(countOf(peer.commands(), "TOP 1 0") + countOf(peer.commands(), "RETR 1"), 0);
        }
        EXPECT_LT(peer.trickled(), 100u);
    }
}

// Whatever LIST says, the message arrives whole, with one RETR and its attachment written once;
// in the order a poll fetches (both asked for ahead; status, size, mail), the replies asked for
// ahead stay in step through refusals and second rounds.
TEST(Pop3Sizes, TheMessageArrivesWholeWhateverTheListingSays) {
    const std::string text = std::string(300, 'b') + "\r\n\x82\xA0\x82\xA2";  // ...あい
    const std::string raw =
        "Subject: s\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\n"
        "Content-Type: text/plain; charset=shift_jis\r\n\r\n" +
        text +
        "\r\n--B\r\nContent-Type: image/gif; name=a.gif\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nR0lG\r\n--B--\r\n";
    struct Row {
        const char* label;
        std::string list;  // LIST reply
        int size;          // GetMailSize at first
        int code;          // the first GetMail
        std::size_t fitted = 0;
    };
    auto listing = [](const std::string& line) { return "+OK\r\n" + line + "2 100\r\n.\r\n"; };
    const std::vector<Row> rows = {
        {"exact", listing("1 500\r\n"), 500, 0},
        {"too small", listing("1 40\r\n"), 40, kMailLibBodyTooLarge, 39},
        {"cut inside a character", listing("1 304\r\n"), 304, kMailLibBodyTooLarge, 302},
        {"missing", listing(""), kMailLibFailed, kMailLibBodyTooLarge},
        {"not a number", listing("1 -5\r\n"), kMailLibFailed, kMailLibBodyTooLarge},
        {"LIST refused", "-ERR no LIST\r\n", kMailLibFailed, kMailLibBodyTooLarge},
        {"too large", listing("1 900000000\r\n"), kMailBodyHintLimit, 0},
        {"absurd", listing("1 999999999999999\r\n"), kMailBodyHintLimit, kMailLibRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ScriptedPeer peer("+OK ready\r\n",
                          twoMessages({{"LIST", row.list}, {"RETR 1", "+OK\r\n" + raw + ".\r\n"}}));
        int h = MailLibPop3Connect(peer.address().c_str());
        ASSERT_EQ(MailLibPop3Authenticate(h, "u", "Pw-42", 0), 2);
        bool refused = row.code == kMailLibRefused;
        TempDir folder;
        Texts t;
        std::string body;
        EXPECT_EQ(status(h, 1, t), refused ? kMailLibRefused : 0);
        EXPECT_EQ(MailLibPop3GetMailSize(h, 1), row.size);
        int code = fetch(h, 1, t, body, folder.path());
        EXPECT_EQ(code, row.code) << errorText();
        if (code == kMailLibBodyTooLarge) {
            EXPECT_EQ(body, text.substr(0, row.fitted));
            EXPECT_STREQ(t.names.data(), "a.gif");
            EXPECT_EQ(MailLibPop3GetMailSize(h, 1), static_cast<int>(text.size()) + 1);
            EXPECT_EQ(code = fetch(h, 1, t, body, folder.path()), 0) << errorText();
        }
        if (code == 0) {
            EXPECT_EQ(body, text);
            EXPECT_STREQ(t.subject.data(), "s");
            EXPECT_STREQ(t.names.data(), "a.gif");
            EXPECT_EQ(readBytes(folder.file("a.gif")), "GIF");
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}),
                  refused ? 0 : 1);
        // The next message comes on the same connection (without a size, by a second round);
        // the kept one goes with it.
        EXPECT_EQ(status(h, 2, t), 0);
        code = fetch(h, 2, t, body);
        if (row.size == kMailLibFailed && code == kMailLibBodyTooLarge) code = fetch(h, 2, t, body);
        EXPECT_EQ(code, 0) << errorText();
        EXPECT_EQ(body, "body 2\r\n");
        EXPECT_EQ(MailLibPop3GetMailSize(h, 1), row.size);
        MailLibPop3Close(h);
        auto commands = peer.commands();
        EXPECT_EQ(countOf(commands, "TOP 1 0") + countOf(commands, "RETR 1"), refused ? 0 : 2);
        EXPECT_EQ(countOf(commands, "RETR 2"), 1);
    }
}

// Ids as the ledger stores them; the listing, not STAT, says where the messages end.
TEST(Pop3Ids, StoredFaithfullyAndDistinctlyUpToTheEndOfTheListing) {
    struct Row {
        int number;
        std::string onWire, stored;
        int code = 0;
    };
    const std::vector<Row> rows = {
        {1, "a%41", "a%41"},
        {2, "abc\rdef", " abc%0Ddef"},
        {3, "abc\r", " abc%0D"},
        {4, std::string("a\0b", 3), " a%00b"},
        {5, "\x82\xA0x", " %82%A0x"},
        {6, "a%41\x7F", " a%2541%7F"},
        {8, "x", "x"},
        {7, "", "", kMailLibFailed},  // the listing skips it
        {9, "", "", kMailLibListEnd},
        {2147483647, "", "", kMailLibListEnd},
        {0, "", "", kMailLibFailed},
    };
    std::string listing = "+OK\r\n";
    for (const Row& row : rows)
        if (row.code == 0)
            listing += (row.number % 2 ? "\t" : "") + std::to_string(row.number) + "  " +
                       row.onWire + (row.number % 3 ? " \r\n" : "\r\n");
    listing += ".\r\n";
    ScriptedPeer peer("+OK ready\r\n", [&](const std::string& c) -> std::string {
        return c == "STAT" ? "+OK 2147483647 0\r\n" : c == "UIDL" ? listing : "+OK\r\n";
    });
    int h = MailLibPop3Connect(peer.address().c_str());
    ASSERT_EQ(MailLibPop3Authenticate(h, "u", "Pw-42", 0), 2147483647);
    std::set<std::string> seen;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.number);
        std::vector<char> id(kMailBufferBytes, 'x');
        EXPECT_EQ(MailLibPop3GetUidl(h, row.number, id.data(), kMailTextSize), row.code);
        EXPECT_EQ(std::string(id.data()), row.stored);
        seen.insert(id.data());
    }
    EXPECT_EQ(seen.size(), 8u);  // seven ids and the empty text
    MailLibPop3Close(h);
    EXPECT_EQ(countOf(peer.commands(), "UIDL"), 1);
}

// The password is masked in the server's words before they are cut to length: no part of it
// survives the cut.
TEST(Pop3Secrets, AnEchoedPasswordNeverShowsNotEvenCutInHalf) {
    const std::string password = "Sesame-0123456789-abcdefghij";
    auto echo = [&](std::size_t at) { return std::string(at, 'e') + password + "\r\n"; };
    // Answers to PASS, or (after "STAT") to STAT.
    for (const std::string& reply :
         {"-ERR " + echo(100), "-ERR " + echo(280), "-ERR " + echo(294),
          "-ERR " + password + echo(260), "STAT" + echo(280), "STAT+OK x" + echo(280)}) {
        SCOPED_TRACE(reply.substr(0, 12) + std::to_string(reply.size()));
        bool stat = reply.starts_with("STAT");
        ScriptedPeer peer("+OK ready\r\n", [&](const std::string& c) -> std::string {
            if (stat ? c == "STAT" : c.starts_with("PASS ")) return reply.substr(stat ? 4 : 0);
            return "+OK\r\n";
        });
        int h = MailLibPop3Connect(peer.address().c_str());
        EXPECT_EQ(MailLibPop3Authenticate(h, "u", password.c_str(), 0),
                  stat ? kMailLibBroken : kMailLibRefused);
        std::string error = errorText();
        EXPECT_NE(error.find("*"), std::string::npos) << error;
        EXPECT_EQ(error.find("Sesame"), std::string::npos) << error;
        EXPECT_EQ(error.find("0123"), std::string::npos) << error;
        MailLibPop3Close(h);
    }
}

// A write that fails leaves no part of that attachment, writes none after it, and says why.
TEST(Pop3Attachments, AFailedWriteLeavesNoPartialFileAndNamesTheFile) {
    auto part = [](const std::string& name, int lines) {  // 57 bytes a line
        std::string base64;
        for (int i = 0; i < lines; ++i) base64 += std::string(76, 'Q') + "\r\n";
        return "--B\r\nContent-Type: image/gif; name=" + name +
               "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64;
    };
    const std::string raw = "Subject: f\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n" +
                            part("a.gif", 100) + part("big.gif", 2000) + part("c.gif", 1) +
                            "--B--\r\n";
    ScriptedPeer peer("+OK ready\r\n", twoMessages({{"RETR 1", "+OK\r\n" + raw + ".\r\n"}}));
    TempDir dir;
    // Only the soft limit is lowered, so it can be raised again; the program ignores the signal.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100000, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    int h = MailLibPop3Connect(peer.address().c_str());
    MailLibPop3Authenticate(h, "u", "Pw-42", 0);
    Texts t;
    std::string body;
    int code = fetch(h, 1, t, body, dir.path());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    std::string report = std::to_string(code) + "|" + t.names.data() + "|" + errorText();
    MailLibPop3Close(h);
    EXPECT_EQ(report.find("-5|a.gif|" + dir.file("big.gif ")), 0u) << report;
    EXPECT_NE(report.find(utf8ToCp932(std::strerror(EFBIG))), std::string::npos) << report;
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        left.push_back(e.path().filename().string() + ":" + std::to_string(e.file_size()));
    EXPECT_EQ(left, std::vector<std::string>{"a.gif:5700"});
}
