// A poll killed at any moment loses nothing: `korvanto --poll-once` is killed (SIGKILL) at
// random moments, then runs to the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "polling/uidl_ledger.h"
#include "support/dovecot_server.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

pid_t startPoll(const std::string& home) {
    std::string binary = std::string(std::getenv("KORVANTO_BINARY_DIR")) + "/korvanto";
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execl(binary.c_str(), binary.c_str(), "--poll-once", "--home", home.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

void expectLedgerAndLogsWhole(const std::string& account) {
    if (fs::exists(account + "UIDL.txt")) {
        std::string text = readBytes(account + "UIDL.txt");
        EXPECT_TRUE(text.empty() || text.ends_with("\r\n")) << "ledger cut short";
        UidlLedger ledger = UidlLedger::parse(text);
        for (const auto& id : ledger.entries())
            EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{16}"))) << "ledger line: " << id;
    }
    for (auto& day : fs::directory_iterator(account)) {
        if (!day.is_directory() || !fs::exists(day.path() / "log.txt")) continue;
        std::string log = readBytes((day.path() / "log.txt").string());
        EXPECT_EQ(log.rfind("Tarnholt Korvanto Access Log", 0), 0u) << "log without its banner";
        std::size_t at = 0;
        while ((at = log.find("\r\n", at)) != std::string::npos) {
            at += 2;
            EXPECT_TRUE(std::regex_search(
                log.substr(at, 20), std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")))
                << "log entry without its time stamp";
        }
    }
}

}  // namespace

TEST(KilledPoll, EveryMessageIsArchivedAtLeastOnceAndNothingIsCorrupt) {
    DovecotServer server;
    TempDir home;
    writeBytes(home.file("korvanto.ini"), "[KORVANTO2]\r\nPop3Name=" + server.address() +
                                              "\r\nUserID=" + server.user() +
                                              "\r\nPassword=" + server.password() + "\r\n");
    const int messages = 200;
    for (int i = 0; i < messages; ++i)
        server.addMessage(messageWithAttachments("m" + std::to_string(i),
                                                 "message " + std::to_string(i),
                                                 {{"p.jpg", std::string(2000, char(i))}}));
    std::string account = home.path() + "DefaultAccount/";

    // How long an uninterrupted poll takes decides where the kills may land.
    TempDir probeHome;
    fs::copy_file(home.file("korvanto.ini"), probeHome.file("korvanto.ini"));
    auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(startPoll(probeHome.path()), &status, 0);
    auto fullMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::mt19937 random(20261209);
    for (int round = 0; round < 10; ++round) {
        pid_t pid = startPoll(home.path());
        int delay =
            std::uniform_int_distribution<int>(0, static_cast<int>(fullMs / 3) + 20)(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        expectLedgerAndLogsWhole(account);
    }
    waitpid(startPoll(home.path()), &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    expectLedgerAndLogsWhole(account);

    std::set<std::string> bodies;
    for (auto& e : fs::recursive_directory_iterator(account))
        if (e.path().filename() == "body.txt") bodies.insert(readBytes(e.path().string()));
    for (int i = 0; i < messages; ++i)
        EXPECT_TRUE(bodies.count("message " + std::to_string(i))) << "message " << i << " lost";
    EXPECT_EQ(UidlLedger::load(account + "UIDL.txt").entries().size(),
              static_cast<std::size_t>(messages));
}
