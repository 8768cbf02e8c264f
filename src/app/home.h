#pragma once
// Where the program's data and its window module are.
#include <filesystem>
#include <string>

namespace korv {

inline constexpr const char* kWindowModuleName = "libkorvanto_window.so";

// The window module: beside the program (a build or a portable copy), else in ../lib/korvanto/
// (installed). Empty when neither exists.
std::filesystem::path windowModulePath(const std::filesystem::path& programDir);

// The data folder when --home is not given: the program's folder when it can be written and is
// not an installed one (its module in ../lib/korvanto/), so a portable copy keeps its data with
// it; else $XDG_DATA_HOME/korvanto, by default ~/.local/share/korvanto. Null environment values
// are unset ones.
std::filesystem::path defaultHome(const std::filesystem::path& programDir, const char* xdgDataHome,
                                  const char* userHome);

// Makes the home if it is missing (a default one under XDG owner-only); throws with the reason
// when it cannot. Returns it absolute, CP932 with a trailing delimiter.
std::string prepareHome(const std::filesystem::path& home, bool ownerOnly);

}  // namespace korv
