#pragma once
// What a sane POP3 server answers for a fixed mailbox, as a scripted peer's answer; tests put
// their faults in front of it.
#include <string>
#include <vector>

namespace korv::test {

struct Pop3Mailbox {
    std::vector<std::string> ids;
    std::vector<std::string> messages;  // raw, CR LF

    std::string answer(const std::string& command) const {
        auto numberIn = [&](std::size_t from) {
            int n = std::atoi(command.c_str() + from);
            return n >= 1 && n <= static_cast<int>(messages.size()) ? n - 1 : -1;
        };
        if (command.rfind("USER ", 0) == 0 || command.rfind("PASS ", 0) == 0 || command == "QUIT")
            return "+OK\r\n";
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

}  // namespace korv::test
