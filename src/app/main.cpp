// Korvanto: watches one POP3 mailbox, archives every new message and hands its picture to a
// gallery; the window is also a small mail client for the same account.
#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "app/gallery_hand_off.h"
#include "app/poll_once.h"
#include "platform/paths.h"

namespace {

struct Options {
    std::string home;
    bool pollOnce = false;
    bool ok = true;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--poll-once") {
            o.pollOnce = true;
        } else if (arg == "--home" && i + 1 < argc) {
            o.home = argv[++i];
        } else if (arg.rfind("--home=", 0) == 0) {
            o.home = arg.substr(7);
        } else if (arg.rfind("-", 0) == 0 && arg.rfind("-platform", 0) != 0) {
            o.ok = false;
        }
    }
    return o;
}

std::string programFolderFor(const Options& o) {
    if (o.home.empty()) return korv::programFolder();
    std::error_code ec;
    std::filesystem::create_directories(o.home, ec);
    auto absolute = std::filesystem::absolute(o.home, ec);
    return korv::withTrailingDelimiter(korv::fromNativePath(absolute.lexically_normal()));
}

// The windows live in a module beside the program (see window_main.cpp).
int runWindow(int& argc, char** argv, const std::string& folder) {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    auto module = exe.parent_path() / "libkorvanto_window.so";
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto run = handle ? reinterpret_cast<int (*)(int*, char**, const char*)>(
                            dlsym(handle, "korvantoRunWindow"))
                      : nullptr;
    if (!run) {
        const char* why = dlerror();
        std::cerr << "ウィンドウを開けません: " << module.string() << ": " << (why ? why : "")
                  << '\n';
        return 1;
    }
    return run(&argc, argv, folder.c_str());
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
    Options options = parseOptions(argc, argv);
    if (!options.ok) {
        std::cerr << "使い方: korvanto [--home フォルダ] [--poll-once]\n";
        return 2;
    }
    std::string folder = programFolderFor(options);
    if (options.pollOnce) {
        return korv::RunPollOnce(
            folder,
            [](const korv::Settings& settings, korv::StatusLog& status, korv::Clock& clock,
               const std::string& defaultImg) -> std::unique_ptr<korv::HandOff> {
                return std::make_unique<korv::GalleryHandOff>(
                    korv::HandOffSettings{defaultImg, settings.SessionDB}, status, clock);
            },
            std::cout, std::cerr);
    }

    return runWindow(argc, argv, folder);
}
