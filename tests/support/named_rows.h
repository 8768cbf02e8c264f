#pragma once
// Rows of a parameterised suite: each test is named after its row, and a failure prints the
// row's name instead of a dump of its bytes.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

namespace korv::test {

struct NamedRow {
    const char* name;
};

inline std::ostream& operator<<(std::ostream& os, const NamedRow& row) { return os << row.name; }

// Only letters, digits and '_' may stand in a test's name.
inline std::string testName(std::string_view text) {
    std::string name;
    for (char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        name += plain ? c : '_';
    }
    return name.empty() ? "_" : name;
}

// The name generator for INSTANTIATE_TEST_SUITE_P.
inline constexpr auto byName = [](const auto& info) { return testName(info.param.name); };

}  // namespace korv::test
