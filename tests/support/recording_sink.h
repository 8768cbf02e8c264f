#pragma once
#include <string>
#include <vector>

#include "activity/status_log.h"

namespace korv::test {

// Keeps the status lines as a memo would show them.
struct RecordingSink : LineSink {
    std::vector<std::string> lines;
    void addLine(const std::string& s) override { lines.push_back(s); }
    void replaceLastLine(const std::string& s) override {
        if (lines.empty()) lines.emplace_back();
        lines.back() = s;
    }
};

}  // namespace korv::test
