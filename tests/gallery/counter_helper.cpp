// One of several processes drawing names from one counter file: waits for the start signal,
// then draws until it has the wanted number of names, creating both files of each name.
// Prints one line per call: "OK name", "SHARING" (the call failed on a sharing violation),
// "DUP name" (a file of the name existed already), "EMPTY", or "ERROR text".
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "gallery/session.h"
#include "platform/file_error.h"
#include "platform/paths.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: gallery_counter_helper COUNTER FOLDER COUNT STARTFILE\n");
        return 2;
    }
    const std::string counter = argv[1];
    const std::string folder = korv::withTrailingDelimiter(argv[2]);
    const int wanted = std::atoi(argv[3]);
    while (!korv::fileExists(argv[4])) usleep(1000);

    korv::SystemClock clock;
    std::mt19937 rng(static_cast<unsigned>(getpid()));
    int got = 0;
    for (int call = 0; got < wanted && call < 20000; ++call) {
        try {
            std::string name =
                korv::NextNumberedName(clock, counter, "img####", folder, ".jpg", ".txt");
            if (name.empty()) {
                std::printf("EMPTY\n");
            } else {
                bool fresh = true;
                for (const char* ext : {".jpg", ".txt"}) {
                    int fd = ::open(korv::nativePath(folder + name + ext).c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL, 0644);
                    if (fd < 0)
                        fresh = false;
                    else
                        ::close(fd);
                }
                std::printf("%s %s\n", fresh ? "OK" : "DUP", name.c_str());
                ++got;
            }
        } catch (const korv::SharingViolation&) {
            std::printf("SHARING\n");
            usleep(rng() % 3000);  // let the process that won go on
        } catch (const std::exception& e) {
            std::printf("ERROR %s\n", e.what());
        }
        std::fflush(stdout);
    }
    return got == wanted ? 0 : 1;
}
