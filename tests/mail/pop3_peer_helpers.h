#pragma once
// What the scripted-peer tests of the POP3 functions share: a mailbox behind a login, short waits.
#include <algorithm>
#include <string>
#include <vector>

#include "mail/pop3/pop3_connection.h"
#include "support/scripted_mailbox.h"
#include "support/scripted_peer.h"

namespace korv::test {

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
