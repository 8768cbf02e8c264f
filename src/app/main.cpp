// Korvanto: watches one POP3 mailbox, archives every new message and hands its picture to a
// gallery; the window is also a small mail client for the same account.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/home.h"
#include "app/options.h"
#include "app/poll_once.h"
#include "app/sign_in.h"
#include "app/watch.h"
#include "gallery/gallery_hand_off.h"
#include "platform/codepage.h"
#include "platform/paths.h"

#ifndef KORVANTO_VERSION
#error "KORVANTO_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace {

namespace fs = std::filesystem;
using korv::operator""_cp;

fs::path programDir() { return korv::nativePath(korv::programFolder()); }

fs::path homeFor(const korv::Options& o) {
    if (!o.home.empty()) return o.home;
    return korv::defaultHome(programDir(), std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

// The windows live in a module of their own (see window_main.cpp).
int runWindow(std::vector<std::string> arguments, const std::string& folder) {
    fs::path module = korv::windowModulePath(programDir());
    void* handle = module.empty() ? nullptr : dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto run = handle ? reinterpret_cast<int (*)(int*, char**, const char*)>(
                            dlsym(handle, "korvantoRunWindow"))
                      : nullptr;
    if (!run) {
        const char* why = module.empty() ? korv::kWindowModuleName : dlerror();
        std::cerr << korv::cp932ToUtf8("ウィンドウを開けません: "_cp) << (why ? why : "") << '\n';
        return korv::kExitError;
    }
    // The application, which keeps argc and argv, ends inside run.
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());
    return run(&argc, argv.data(), folder.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // A poll allocates and frees message-sized buffers for every message. By default glibc hands
    // such memory back to the system at each free and faults it in again for the next message,
    // which costs more than decoding the message; keep it for reuse instead.
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 32 << 20);
    // A file-size limit is a full disk to us: a failed write we report, not a killed process.
    signal(SIGXFSZ, SIG_IGN);
    korv::Options options = korv::parseOptions(argc, argv);
    fs::path home = homeFor(options);
    std::string settingsPath = (fs::absolute(home).lexically_normal() / "korvanto.ini").string();
    if (!options.error.empty()) {
        std::cerr << "korvanto: " << options.error << '\n' << korv::usageText(settingsPath);
        return korv::kExitUsage;
    }
    if (options.mode == korv::RunMode::Help) {
        std::cout << korv::usageText(settingsPath);
        return korv::kExitDone;
    }
    if (options.mode == korv::RunMode::Version) {
        std::cout << "korvanto " KORVANTO_VERSION "\n";
        return korv::kExitDone;
    }
    std::string folder;
    try {
        folder = korv::prepareHome(home, options.home.empty());
    } catch (const std::exception& e) {
        std::cerr << korv::cp932ToUtf8(e.what()) << '\n';
        return korv::kExitError;
    }
    if (options.verbose)
        std::cout << korv::cp932ToUtf8("設定ファイル: "_cp) << settingsPath << '\n';
    auto makeHandOff = [](const korv::Settings& settings, korv::StatusLog& status,
                          korv::Clock& clock,
                          const std::string& defaultImg) -> std::unique_ptr<korv::HandOff> {
        return std::make_unique<korv::GalleryHandOff>(
            korv::HandOffSettings{defaultImg, settings.SessionDB}, status, clock);
    };
    if (options.mode == korv::RunMode::SignIn)
        return korv::RunSignIn(folder, options.device, std::cout, std::cerr);
    if (options.mode != korv::RunMode::PollOnce && options.mode != korv::RunMode::Watch)
        return runWindow(options.qtArguments, folder);
    return options.mode == korv::RunMode::PollOnce
               ? korv::RunPollOnce(folder, makeHandOff, std::cout, std::cerr,
                                   korv::PassOptions{options.quiet, nullptr})
               : korv::RunWatch(folder, makeHandOff, std::cout, std::cerr,
                                korv::WatchOptions{options.quiet, options.verbose});
}
