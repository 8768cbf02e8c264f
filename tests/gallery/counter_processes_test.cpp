// Several real processes drawing names from one counter file and one folder at the same time.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/file_error.h"
#include "platform/paths.h"
#include "platform/whole_file.h"
#include "support/temp_dir.h"

extern char** environ;

using namespace korv;
using namespace korv::test;

namespace {

constexpr int kProcesses = 4;
constexpr int kNamesEach = 50;

pid_t spawnHelper(const std::vector<std::string>& args, const std::string& outFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// What a cooperating reader may see: the first content, or the digits of the last number.
bool isValidCounter(const std::string& content, long& number) {
    std::string digits = content == "0\r\n" ? "0" : content;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    number = std::stol(digits);
    return true;
}

TEST(CounterProcesses, NamesAreDistinctAndTheCounterStaysValid) {
    TempDir dir;
    const std::string gallery = dir.file("gallery/");
    std::filesystem::create_directory(gallery);
    const std::string counter = gallery + "counter.txt";  // created by the first helper
    const std::string start = dir.file("start");

    std::vector<pid_t> pids;
    for (int i = 0; i < kProcesses; ++i) {
        pid_t pid = spawnHelper(
            {GALLERY_COUNTER_HELPER, counter, gallery, std::to_string(kNamesEach), start},
            dir.file("out" + std::to_string(i)));
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    writeBytes(start, "go");

    // Sample the counter as another reader would, until every helper has ended.
    std::map<pid_t, int> statuses;
    long last = -1;
    int samples = 0;
    std::vector<std::string> badSamples;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (statuses.size() < pids.size() && std::chrono::steady_clock::now() < deadline) {
        for (pid_t pid : pids) {
            int status = 0;
            if (!statuses.count(pid) && waitpid(pid, &status, WNOHANG) == pid)
                statuses[pid] = status;
        }
        if (fileExists(counter)) {
            // Without a lock a rewrite may be seen half done, but never an empty file.
            std::string unlocked = readBytes(counter);
            if (unlocked.empty() ||
                unlocked.find_first_not_of("0123456789\r\n") != std::string::npos)
                badSamples.push_back(unlocked);
            try {
                std::string content = ReadFileToString(counter);
                long number = 0;
                if (!isValidCounter(content, number) || number < last)
                    badSamples.push_back(content);
                else
                    last = number;
                ++samples;
            } catch (const SharingViolation&) {
                // a helper is rewriting it this very moment
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (pid_t pid : pids) {
        if (!statuses.count(pid)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            ADD_FAILURE() << "helper " << pid << " did not end in time";
        }
    }
    for (const auto& [pid, status] : statuses)
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "helper " << pid;

    EXPECT_TRUE(badSamples.empty()) << "bad sample: \"" << badSamples.front() << "\"";
    EXPECT_GT(samples, 0);

    std::multiset<std::string> names;
    int sharing = 0;
    for (int i = 0; i < kProcesses; ++i) {
        std::istringstream out(readBytes(dir.file("out" + std::to_string(i))));
        for (std::string line; std::getline(out, line);) {
            if (line.rfind("OK ", 0) == 0)
                names.insert(line.substr(3));
            else if (line == "SHARING")
                ++sharing;
            else
                ADD_FAILURE() << "helper " << i << ": " << line;
        }
    }
    // Calls that collided failed; the others got consecutive numbers, none twice.
    std::multiset<std::string> expected;
    for (int n = 1; n <= kProcesses * kNamesEach; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "img%04d", n);
        expected.insert(name);
    }
    EXPECT_EQ(names, expected);
    EXPECT_EQ(readBytes(counter), std::to_string(kProcesses * kNamesEach));

    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(gallery)) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 2u * kProcesses * kNamesEach + 1);  // no temporary files left behind
    RecordProperty("collisions", sharing);
}

}  // namespace
