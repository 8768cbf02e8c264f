// Times Korvanto's one-shot poll against a local Dovecot holding N picture messages: a first
// poll (everything new) and an idle poll (everything known), beside a bare pipelined RETR of
// the same mailbox measured in the same run.
//   korv_bench_poll [N=1000] [rounds=3]
//   korv_bench_poll --big MB     one message of MB MiB: the poll's peak memory
// $KORV_BENCH_WRAPPER, when set, is a command put in front of each poll (a profiler, say).
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "raw_pop3.h"
#include "support/dovecot_server.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using korv::bench::RawPop3;
using korv::test::DovecotServer;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A JPEG in its marker structure (JFIF header, one scan of ~60 KB, no 0xFF in the scan), so the
// gallery's publish copy walks it as it walks a camera's picture.
std::string picture(std::mt19937& rng) {
    std::string bytes(
        "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
        "\xFF\xDA\x00\x02",
        24);
    const std::size_t head = bytes.size();
    bytes.resize(60 * 1024);
    for (std::size_t i = head; i < bytes.size(); ++i) bytes[i] = static_cast<char>(rng() % 0xFF);
    return bytes + "\xFF\xD9";
}

struct Run {
    double seconds;
    long peakKb;
};

// Runs `korvanto --poll-once --home HOME` with its output thrown away.
Run pollOnce(const std::string& home) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        // $KORV_BENCH_WRAPPER (say "strace -c -o /tmp/poll.strace") runs in front of the program.
        if (const char* wrapper = std::getenv("KORV_BENCH_WRAPPER")) {
            std::string command = std::string(wrapper) + " \"$0\" --poll-once --home \"$1\"";
            execl("/bin/sh", "sh", "-c", command.c_str(), KORVANTO_EXE, home.c_str(),
                  static_cast<char*>(nullptr));
        }
        execl(KORVANTO_EXE, KORVANTO_EXE, "--poll-once", "--home", home.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Run run{secondsSince(start), usage.ru_maxrss};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("korvanto --poll-once failed");
    return run;
}

double rawPipelinedRetr(const DovecotServer& server, int count, std::size_t& bytes,
                        const std::string& saveFolder = "") {
    auto start = Clock::now();
    RawPop3 pop(server.port());
    pop.login(server.user(), server.password());
    bytes = pop.retrieveAllPipelined(count, saveFolder);
    pop.quit();
    return secondsSince(start);
}

// The peer: a raw fetcher of another project (mpop: pipelined, one file per message in a
// maildir). Its path comes from $KORV_BENCH_PEER or PATH, "" when there is none; bench/poll/run
// installs it.
std::string peerPath() {
    if (const char* p = std::getenv("KORV_BENCH_PEER")) return p;
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/"})
        if (access((std::string(dir) + "mpop").c_str(), X_OK) == 0)
            return std::string(dir) + "mpop";
    return "";
}

double peerFetch(const std::string& peer, const DovecotServer& server, const std::string& folder) {
    for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(folder + sub);
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::string host = "--host=127.0.0.1", port = "--port=" + std::to_string(server.port());
        std::string user = "--user=" + server.user();
        std::string password = "--passwordeval=echo " + server.password();
        std::string delivery = "--delivery=maildir," + folder;
        std::string uidls = "--uidls-file=" + folder + "uidls";
        execl(peer.c_str(), peer.c_str(), "--quiet", host.c_str(), port.c_str(), user.c_str(),
              password.c_str(), "--tls=off", "--auth=user", "--pipelining=on", "--keep=on",
              "--only-new=off", delivery.c_str(), uidls.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = secondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(peer + " failed with " + std::to_string(WEXITSTATUS(status)));
    return seconds;
}

double rawLogin(const DovecotServer& server) {
    auto start = Clock::now();
    RawPop3 pop(server.port());
    pop.login(server.user(), server.password());
    pop.quit();
    return secondsSince(start);
}

int countArchived(const std::string& accountFolder) {
    int n = 0;
    for (const auto& entry : fs::recursive_directory_iterator(accountFolder))
        if (entry.path().filename() == "header.txt") ++n;
    return n;
}

void writeHome(const std::string& home, const DovecotServer& server) {
    fs::create_directories(home + "sessions");
    fs::create_directories(home + "gallery/bench");
    korv::test::writeBytes(home + "sessions/bench.txt",
                           "path=" + home + "gallery/bench\r\nFileNameTemplate=img#######\r\n");
    korv::test::writeBytes(
        home + "korvanto.ini",
        "[KORVANTO2]\r\nApopFlag=0\r\nSmtpName=\r\nPop3Name=" + server.address() +
            "\r\nMailAddress=korv@example.jp\r\nUserID=" + server.user() +
            "\r\nPassword=" + server.password() + "\r\nSessionDB=" + home +
            "sessions/\r\nNameOrder=num3d\r\n"
            // The yardstick speaks plain text; so does the poll, or TLS would be measured too.
            "DefaultImg=\r\nPop3Security=none\r\n");
}

// One message of about `mb` MiB, most of it one base64 picture: the poll's peak memory beside the
// message's size.
int bigMessage(int mb) {
    DovecotServer server;
    korv::test::TempDir temp;
    std::mt19937 rng(20261209);
    std::string bytes(static_cast<std::size_t>(mb) * 3 / 4 << 20, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    std::string message =
        korv::test::messageWithAttachments("big@bench", "1#one big picture", {{"big.jpg", bytes}});
    bytes.clear();
    bytes.shrink_to_fit();
    server.addMessage(message);
    const double messageMiB = message.size() / 1048576.0;
    message.clear();
    message.shrink_to_fit();
    rawLogin(server);
    std::string home = temp.path() + "big/";
    writeHome(home, server);
    Run run = pollOnce(home);
    if (countArchived(home + "DefaultAccount/") != 1) throw std::runtime_error("not archived");
    const double peakMiB = run.peakKb / 1024.0;
    std::printf(
        "message %.1f MiB, first poll %.2f s, peak %.1f MiB = message + %.1f MiB "
        "(target: + 20 MiB at most)\n",
        messageMiB, run.seconds, peakMiB, peakMiB - messageMiB);
    return 0;
}

}  // namespace

int main(int argc, char** argv) try {
    setenv("KORVANTO_SOURCE_DIR", KORVANTO_SOURCE_DIR, 0);
    if (argc > 2 && std::string(argv[1]) == "--big") return bigMessage(std::atoi(argv[2]));
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (count < 1 || rounds < 1) throw std::runtime_error("usage: korv_bench_poll [N] [rounds]");

    // The test fixture finds its server script through the source folder.
    setenv("KORVANTO_SOURCE_DIR", KORVANTO_SOURCE_DIR, 0);
    // Server and homes go to tmpfs unless TMPDIR says otherwise: on this VM's ext4 disk the time
    // to create a file depends on what was deleted in the minutes before (see the README), so a
    // run there measures the disk's history more than the program.
    std::error_code ec;
    if (!std::getenv("TMPDIR") && fs::is_directory("/dev/shm", ec)) setenv("TMPDIR", "/dev/shm", 1);
    DovecotServer server;
    korv::test::TempDir temp;
    std::printf("working folder: %s\n", temp.path().c_str());
    std::mt19937 rng(20261209);
    std::size_t mailboxBytes = 0;
    for (int i = 1; i <= count; ++i) {
        std::string message = korv::test::messageWithAttachments(
            "photo" + std::to_string(i) + "@bench",
            std::to_string(i) + "#story " + std::to_string(i),
            {{"photo" + std::to_string(i) + ".jpg", picture(rng)}});
        mailboxBytes += message.size();
        server.addMessage(message);
    }
    // Dovecot indexes a new maildir at its first login; neither side below should pay for it.
    rawLogin(server);
    std::printf("mailbox: %d messages, %.1f MB\n", count, mailboxBytes / 1e6);

    // Every round polls into a home of its own. On a disk nothing is deleted before the end: ext4
    // without a journal skips inodes freed in the last minutes when it allocates new ones, so
    // deleting one round's archive would slow the next round's file creation severalfold. On
    // tmpfs the round before is deleted: this VM hands memory freed for a while back to its host
    // and then pays dearly to touch it again, and a round would otherwise fill fresh memory.
    struct statfs where {};
    const bool tmpfs = statfs(temp.path().c_str(), &where) == 0 && where.f_type == TMPFS_MAGIC;
    const std::string peer = peerPath();
    if (peer.empty()) std::printf("no peer (mpop): bench/poll/run installs it\n");
    std::vector<double> raw, rawSaving, peerTimes, first;
    long firstPeakKb = 0;
    std::string home, account;
    for (int r = 0; r < rounds; ++r) {
        if (tmpfs && !home.empty()) fs::remove_all(home);
        home = temp.path() + "round" + std::to_string(r + 1) + "/";
        account = home + "DefaultAccount/";
        writeHome(home, server);
        std::size_t bytes = 0;
        raw.push_back(rawPipelinedRetr(server, count, bytes));
        // A second yardstick that also stores what it fetched: one file per message, as is.
        fs::create_directories(home + "raw");
        rawSaving.push_back(rawPipelinedRetr(server, count, bytes, home + "raw/"));
        if (!peer.empty()) peerTimes.push_back(peerFetch(peer, server, home + "peer/"));
        Run run = pollOnce(home);
        first.push_back(run.seconds);
        firstPeakKb = std::max(firstPeakKb, run.peakKb);
        int archived = countArchived(account);
        if (archived != count)
            throw std::runtime_error("first poll archived " + std::to_string(archived) + " of " +
                                     std::to_string(count));
        std::printf(
            "round %d: raw pipelined RETR %.3f s (%.1f MB), saving %.3f s, first poll %.3f s "
            "(%.2f)",
            r + 1, raw.back(), bytes / 1e6, rawSaving.back(), first.back(),
            first.back() / raw.back());
        if (!peer.empty())
            std::printf(", peer %.3f s (%.2f)", peerTimes.back(), first.back() / peerTimes.back());
        std::printf("\n");
    }

    std::vector<double> idle, login;
    long idlePeakKb = 0;
    for (int r = 0; r < 5; ++r) {
        Run run = pollOnce(home);
        idle.push_back(run.seconds);
        idlePeakKb = std::max(idlePeakKb, run.peakKb);
        login.push_back(rawLogin(server));
    }
    if (countArchived(account) != count) throw std::runtime_error("an idle poll archived mail");

    const double rawS = median(raw), firstS = median(first);
    const double idleS = median(idle), loginS = median(login);
    std::printf("\nmedians of %d rounds (first poll) and 5 rounds (idle poll)\n", rounds);
    const double savingS = median(rawSaving);
    std::printf("raw pipelined RETR   %7.3f s  %7.0f msgs/s\n", rawS, count / rawS);
    std::printf("  saving each        %7.3f s  %7.0f msgs/s  (first poll / this: %.2f)\n", savingS,
                count / savingS, median(first) / savingS);
    std::printf("first poll           %7.3f s  %7.0f msgs/s  peak %ld KB  ratio %.2f\n", firstS,
                count / firstS, firstPeakKb, firstS / rawS);
    // On a shared machine a neighbour slows single rounds of either side; the fastest round of
    // each is the least disturbed measure of both.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < first.size(); ++i) ratios.push_back(first[i] / raw[i]);
    const double bestFirst = *std::min_element(first.begin(), first.end());
    const double bestRaw = *std::min_element(raw.begin(), raw.end());
    std::printf(
        "  ratio per round: median %.2f (target <= 1.6); fastest rounds %.3f s / %.3f s = %.2f\n",
        median(ratios), bestFirst, bestRaw, bestFirst / bestRaw);
    if (!peerTimes.empty()) {
        std::vector<double> peerRatios;
        for (std::size_t i = 0; i < first.size(); ++i)
            peerRatios.push_back(first[i] / peerTimes[i]);
        std::printf(
            "peer (mpop, maildir) %7.3f s  %7.0f msgs/s  (first poll / peer per round: "
            "median %.2f, target <= 1)\n",
            median(peerTimes), count / median(peerTimes), median(peerRatios));
    }
    std::printf("idle poll            %7.3f s  peak %ld KB\n", idleS, idlePeakKb);
    std::printf("raw login            %7.3f s\n", loginS);
    std::printf("idle beyond login    %7.1f ms (target < 50)\n", (idleS - loginS) * 1000);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "korv_bench_poll: %s\n", e.what());
    return 1;
}
