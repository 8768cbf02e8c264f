#pragma once
// The command line: getopt_long for our options; Qt's own options (`-platform X`, `-style X`, …)
// are set aside for the window.
#include <string>
#include <vector>

namespace korv {

enum class RunMode { Window, PollOnce, Watch, SignIn, Help, Version };

struct Options {
    RunMode mode = RunMode::Window;
    std::string home;  // as given; empty: the default home
    bool quiet = false;
    bool verbose = false;
    bool device = false;                   // --sign-in --device: the device flow
    std::vector<std::string> qtArguments;  // the program's name first, then Qt's options
    std::string error;                     // not empty: a usage error (exit 64), UTF-8
};

inline constexpr int kExitUsage = 64;

Options parseOptions(int argc, char** argv);
// UTF-8, naming the settings file of the home that would be used.
std::string usageText(const std::string& settingsPath);

}  // namespace korv
