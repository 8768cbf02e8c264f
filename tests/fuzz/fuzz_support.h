#pragma once
// What the fuzz targets share: a failed property aborts (libFuzzer keeps the input), and a
// private scratch folder that shows what a run wrote and where.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/paths.h"

namespace korv::fuzz {

inline void check(bool ok, const char* property) {
    if (ok) return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

// Bytes outside printable ASCII as \xNN, for reports.
inline std::string escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

// root/work/ is handed to the code under test; root holds nothing else, so a file beside work/
// was written outside it.
class Scratch {
  public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "korv-fuzz-XXXXXX");
        check(::mkdtemp(pattern.data()) != nullptr, "scratch folder can be made");
        root_ = pattern;
        work_ = root_ / "work";
        std::filesystem::create_directory(work_);
    }
    ~Scratch() { std::filesystem::remove_all(root_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string folder() const { return fromNativePath(work_); }
    std::string file(const std::string& cp932Name) const { return folder() + "/" + cp932Name; }

    // Each reported name is one name inside the folder, which holds as many files, all regular,
    // and nothing was written beside it. Returns the native names reported and found, sorted.
    std::pair<std::vector<std::string>, std::vector<std::string>> expectInside(
        const std::vector<std::string>& cp932Names) const {
        std::vector<std::string> reported, found;
        for (const auto& name : cp932Names) {
            auto native = nativePath(name);
            // As the system takes it: up to a NUL.
            std::filesystem::path taken(native.c_str());
            check(!taken.empty() && taken == taken.filename() && taken != "." && taken != "..",
                  "a reported name is one name inside the folder");
            reported.push_back(native.string());
        }
        for (const auto& entry : std::filesystem::directory_iterator(work_)) {
            check(entry.symlink_status().type() == std::filesystem::file_type::regular,
                  "only regular files in the folder");
            found.push_back(entry.path().filename().string());
        }
        check(std::distance(std::filesystem::directory_iterator(root_), {}) == 1,
              "nothing written beside the folder");
        std::sort(reported.begin(), reported.end());
        std::sort(found.begin(), found.end());
        if (reported.size() != found.size()) report(reported, found, "one file per reported name");
        return {reported, found};
    }

    // As expectInside, and the files carry the reported names.
    void expectExactly(const std::vector<std::string>& cp932Names) const {
        auto [reported, found] = expectInside(cp932Names);
        if (reported != found) report(reported, found, "the reported names are the files");
    }

    // Empties the folder for the next run.
    void clear() const {
        for (const auto& entry : std::filesystem::directory_iterator(work_))
            std::filesystem::remove_all(entry.path());
    }

  private:
    static void report(const std::vector<std::string>& reported,
                       const std::vector<std::string>& found, const char* property) {
        for (const auto& n : reported) std::fprintf(stderr, "reported: %s\n", escaped(n).c_str());
        for (const auto& n : found) std::fprintf(stderr, "on disk:  %s\n", escaped(n).c_str());
        check(false, property);
    }

    std::filesystem::path root_, work_;
};

}  // namespace korv::fuzz
