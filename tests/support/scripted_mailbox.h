#pragma once
// What a sane POP3 server answers for a fixed mailbox, as a scripted peer's answer; tests put
// their faults in front of it (in `more`, or in a transcript). Beside it what the scripted POP3
// tests share: a login transcript, short waits.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "mail/pop3/pop3_connection.h"
#include "support/scripted_peer.h"

namespace korv::test {

struct ScriptedMailbox {
    std::vector<std::string> ids;
    std::vector<std::string> messages;  // raw, CR LF
    // Asked first; "" leaves the command to the mailbox.
    std::function<std::string(const std::string&)> more = {};

    std::string answer(const std::string& command) const {
        if (more)
            if (std::string reply = more(command); !reply.empty()) return reply;
        auto numberIn = [&](std::size_t from) {
            int n = std::atoi(command.c_str() + from);
            return n >= 1 && n <= static_cast<int>(messages.size()) ? n - 1 : -1;
        };
        if (command.rfind("USER ", 0) == 0 || command.rfind("PASS ", 0) == 0 || command == "QUIT")
            return "+OK\r\n";
        if (command.rfind("DELE ", 0) == 0 && numberIn(5) >= 0) return "+OK\r\n";
        if (command == "STAT") return "+OK " + std::to_string(messages.size()) + " 0\r\n";
        if (command == "LIST" || command == "UIDL") {
            std::string listing = "+OK\r\n";
            for (std::size_t i = 0; i < messages.size(); ++i)
                listing += std::to_string(i + 1) + " " +
                           (command == "LIST" ? std::to_string(messages[i].size()) : ids[i]) +
                           "\r\n";
            return listing + ".\r\n";
        }
        if (command.rfind("TOP ", 0) == 0 && numberIn(4) >= 0) {
            const std::string& m = messages[static_cast<std::size_t>(numberIn(4))];
            return "+OK\r\n" + stuffed(m.substr(0, m.find("\r\n\r\n") + 4)) + ".\r\n";
        }
        if (command.rfind("RETR ", 0) == 0 && numberIn(5) >= 0)
            return "+OK\r\n" + stuffed(messages[static_cast<std::size_t>(numberIn(5))]) + ".\r\n";
        return "-ERR unknown command\r\n";
    }

    ScriptedPeer::Answer peer() const {
        return [box = *this](const std::string& c) { return box.answer(c); };
    }

    static std::string stuffed(const std::string& raw) {
        std::string out;
        std::size_t start = 0;
        while (start < raw.size()) {
            std::size_t end = raw.find("\r\n", start);
            end = end == std::string::npos ? raw.size() : end + 2;
            if (raw[start] == '.') out += '.';
            out.append(raw, start, end - start);
            start = end;
        }
        return out;
    }
};

// A peer that logs anybody in and holds `count` messages of 100 bytes ("Subject: m<n>", body
// "body <n>"), with ids id-1, id-2, ...; `more` answers first.
inline ScriptedPeer::Answer mailbox(int count,
                                    std::function<std::string(const std::string&)> more = {}) {
    ScriptedMailbox box;
    for (int n = 1; n <= count; ++n) {
        std::string m =
            "Subject: m" + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) + "\r\n";
        m += std::string(98 - m.size(), 'x') + "\r\n";
        box.ids.push_back("id-" + std::to_string(n));
        box.messages.push_back(m);
    }
    box.more = std::move(more);
    return box.peer();
}

inline int countOf(const std::vector<std::string>& commands, const std::string& command) {
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

// Short waits for the tests that wait for a silent peer; the limits as they were at the end.
struct ShortTimeouts {
    mail::Pop3Timeouts saved = mail::pop3Timeouts();
    mail::Pop3Limits savedLimits = mail::pop3Limits();
    ShortTimeouts() { mail::pop3Timeouts().connectMs = mail::pop3Timeouts().readMs = 500; }
    ~ShortTimeouts() {
        mail::pop3Timeouts() = saved;
        mail::pop3Limits() = savedLimits;
    }
};

// Logs "u" in with "p" to a mailbox of `count` messages.
inline Transcript loggedIn(int count) {
    return {"S: +OK ready",
            "C: USER u",
            "S: +OK",
            "C: PASS p",
            "S: +OK",
            "C: STAT",
            "S: +OK " + std::to_string(count) + " 100"};
}

}  // namespace korv::test
