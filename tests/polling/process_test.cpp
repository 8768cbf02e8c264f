// `korvanto --poll-once` as real processes against a real Dovecot, the way cron and the window
// meet it: killed at any moment, two at once, a full disk, messages that poison a gallery.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "polling/incoming.h"
#include "polling/uidl_ledger.h"
#include "support/dovecot_server.h"
#include "support/named_rows.h"
#include "support/programs.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

// Starts a poll with its output in home/out.<n>; a file-size limit when given.
pid_t startPoll(const std::string& home, rlim_t fileSizeLimit = RLIM_INFINITY) {
    std::string binary = builtProgram("korvanto");
    int run = 1;
    while (fs::exists(home + "out." + std::to_string(run))) ++run;
    std::string out = home + "out." + std::to_string(run);
    writeBytes(out, "");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        rlimit limit{fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        execl(binary.c_str(), binary.c_str(), "--poll-once", "--home", home.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

std::string lastOutput(const std::string& home) {
    std::string last;
    for (int n = 1; fs::exists(home + "out." + std::to_string(n)); ++n)
        last = readBytes(home + "out." + std::to_string(n));
    return last;
}

std::string picture(int n) { return jpegShaped(std::string(2000 + n, static_cast<char>(n))); }

// A home whose settings reach the server and whose gallery account "acme" numbers its files.
struct Home {
    DovecotServer& server;
    TempDir dir;
    std::string home = dir.path();
    std::string account = home + "DefaultAccount/";
    std::string gallery = home + "gallery/acme/";

    explicit Home(DovecotServer& s) : server(s) {
        fs::create_directories(home + "sessions");
        fs::create_directories(gallery);
        writeBytes(home + "korvanto.ini",
                   server.settingsText("SessionDB=" + home + "sessions/\r\n"));
        writeBytes(home + "sessions/acme.txt",
                   "path=" + gallery + "\r\nFileNameTemplate=img#####\r\n");
    }
    std::map<int, std::string> pictures;
    // Message n: subject "m<n>@account", body "<n>#story", a picture of its own.
    void add(int n, const std::string& account = "acme", std::string bytes = "") {
        pictures[n] = bytes.empty() ? picture(n) : bytes;
        server.addMessage(
            messageWithAttachments(std::string("m").append(std::to_string(n)) + "@" + account,
                                   std::to_string(n) + "#story", {{"p.jpg", pictures[n]}}));
    }
    // How often each message is in the archive and in the gallery; every copy must be whole.
    std::map<int, int> archived() {
        std::map<int, int> found;
        const std::regex day("\\d{8}"), number("\\d{5,}");
        for (auto& d : fs::directory_iterator(account)) {
            if (!d.is_directory() || !std::regex_match(d.path().filename().string(), day)) continue;
            for (auto& e : fs::directory_iterator(d.path())) {
                if (!std::regex_match(e.path().filename().string(), number)) continue;
                std::string p = e.path().string();
                EXPECT_TRUE(fs::exists(p + "/header.txt")) << p;
                int n = std::atoi(readBytes(p + "/body.txt").c_str());
                EXPECT_TRUE(readBytes(p + "/p.jpg") == pictures[n]) << "incomplete " << p;
                ++found[n];
            }
        }
        return found;
    }
    std::map<int, int> inGallery() {
        std::map<int, int> found;
        for (auto& e : fs::directory_iterator(gallery)) {
            std::string p = e.path().string();
            if (e.path().extension() != ".txt" || e.path().filename() == "counter.txt") continue;
            std::smatch m;
            std::string request = readBytes(p);
            if (!std::regex_search(request, m, std::regex("id=(\\d+)"))) continue;
            int n = std::stoi(m[1]);
            std::string jpg = p.substr(0, p.size() - 4) + ".jpg";
            EXPECT_TRUE(fs::exists(jpg) && readBytes(jpg) == pictures[n]) << "no picture: " << p;
            ++found[n];
        }
        return found;
    }
    std::size_t ledgerSize() { return UidlLedger::load(account + "UIDL.txt").entries().size(); }
};

void expectEachOnce(const std::map<int, int>& found, int from, int to, const char* where) {
    for (int n = from; n < to; ++n) {
        auto it = found.find(n);
        int times = it == found.end() ? 0 : it->second;
        EXPECT_EQ(times, 1) << "message " << n << " in the " << where;
    }
    EXPECT_EQ(found.size(), static_cast<std::size_t>(to - from)) << where;
}

}  // namespace

TEST(PollProcesses, KilledAtRandomMomentsLosesAndDuplicatesNothing) {
    DovecotServer server;
    Home h(server);
    const int messages = 200;
    for (int n = 0; n < messages; ++n) h.add(n);

    // How long an uninterrupted poll takes decides where the kills may land.
    Home probe(server);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(exitCodeOf(startPoll(probe.home)), 0) << lastOutput(probe.home);
    auto fullMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();

    std::mt19937 random(20261209);
    for (int round = 0; round < 20; ++round) {
        pid_t pid = startPoll(h.home);
        int delay =
            std::uniform_int_distribution<int>(0, static_cast<int>(fullMs / 4) + 20)(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        kill(pid, SIGKILL);
        exitCodeOf(pid);
        for (auto& [n, times] : h.archived()) EXPECT_EQ(times, 1) << "message " << n;
    }
    ASSERT_EQ(exitCodeOf(startPoll(h.home)), 0) << lastOutput(h.home);
    expectEachOnce(h.archived(), 0, messages, "archive");
    expectEachOnce(h.inGallery(), 0, messages, "gallery");
    EXPECT_EQ(h.ledgerSize(), static_cast<std::size_t>(messages));
}

TEST(PollProcesses, TwoPollersOfOneHomeNeverArchiveAMessageTwice) {
    DovecotServer server;
    Home h(server);
    for (int round = 0; round < 3; ++round) {
        for (int n = round * 200; n < (round + 1) * 200; ++n) h.add(n);
        pid_t a = startPoll(h.home), b = startPoll(h.home);
        int codeA = exitCodeOf(a), codeB = exitCodeOf(b);
        // One may find the other at work: that is a temporary failure, nothing else.
        EXPECT_TRUE((codeA == 0 || codeA == 75) && (codeB == 0 || codeB == 75))
            << codeA << " " << codeB << lastOutput(h.home);
        EXPECT_TRUE(codeA == 0 || codeB == 0);
        expectEachOnce(h.archived(), 0, (round + 1) * 200, "archive");
    }
    expectEachOnce(h.inGallery(), 0, 600, "gallery");
}

TEST(PollProcesses, AFullDiskHoldsTheMessageBackUntilThereIsRoom) {
    DovecotServer server;
    Home h(server);
    h.add(1);
    h.add(2, "acme", jpegShaped(std::string(300000, 'x')));
    h.add(3);
    // Files may grow to 100 KB: the big picture is cut short in the middle.
    EXPECT_EQ(exitCodeOf(startPoll(h.home, 100000)), 0);
    std::string out = lastOutput(h.home);
    EXPECT_NE(out.find("保留"), std::string::npos) << out;
    EXPECT_NE(out.find("File too large"), std::string::npos) << out;
    EXPECT_EQ(h.archived(), (std::map<int, int>{{1, 1}, {3, 1}}));
    EXPECT_EQ(h.ledgerSize(), 2u);

    EXPECT_EQ(exitCodeOf(startPoll(h.home)), 0);
    expectEachOnce(h.archived(), 1, 4, "archive");
    expectEachOnce(h.inGallery(), 1, 4, "gallery");
    EXPECT_EQ(h.ledgerSize(), 3u);
}

TEST(PollProcesses, PoisonMessagesDoNotStopTheOnesAfterThem) {
    DovecotServer server;
    Home h(server);
    fs::create_directories(h.home + "gallery/bad");
    writeBytes(h.home + "sessions/bad.txt",
               "path=" + h.home + "gallery/bad/\r\nFileNameTemplate=###\r\n");
    writeBytes(h.home + "gallery/bad/counter.txt", "abc");
    h.add(1, std::string(300, 'a'));  // no file system takes such a session file name
    h.add(2, "bad");                  // its counter holds no number
    h.add(3);
    for (int poll = 0; poll < 2; ++poll) {
        EXPECT_EQ(exitCodeOf(startPoll(h.home)), 0);
        EXPECT_NE(lastOutput(h.home).find("abc"), std::string::npos) << lastOutput(h.home);
        EXPECT_EQ(h.ledgerSize(), 2u);
        auto archived = h.archived();
        EXPECT_EQ(archived.count(2), 0u);
        EXPECT_EQ(archived[1] + archived[3], 2);
    }
    writeBytes(h.home + "gallery/bad/counter.txt", "5");
    EXPECT_EQ(exitCodeOf(startPoll(h.home)), 0);
    EXPECT_EQ(h.ledgerSize(), 3u);
    EXPECT_TRUE(fs::exists(h.home + "gallery/bad/006.txt"));
}

namespace {

// Every file and folder under a folder, with the files' bytes; links as links.
std::map<std::string, std::string> tree(const std::string& folder) {
    std::map<std::string, std::string> found;
    for (auto& e : fs::recursive_directory_iterator(folder))
        found[e.path()] = e.is_symlink()     ? "link"
                          : e.is_directory() ? "folder"
                                             : readBytes(e.path());
    return found;
}

// Every day's log of the home, as text.
std::string logs(const Home& h) {
    std::string text;
    for (auto& d : fs::directory_iterator(h.account))
        if (fs::is_regular_file(d.path() / "log.txt"))
            text += cp932ToUtf8(readBytes(d.path() / "log.txt"));
    return text;
}

struct LinkRow : NamedRow {
    std::string link, to;   // a link in the home (under its folder) to a file or folder outside
    std::string journaled;  // a journal's gallery file; "{out}" and "{gallery}" stand for those
    int exitCode;           // of the poll that meets it
    bool archived;          // the new message is archived by it
    const char* said;       // in its log or its output
};

}  // namespace

// Links in the home and journals that name what is not theirs: a poll never goes through them,
// nothing outside the home changes, and what a poll cannot act on is said once.
TEST(PollProcesses, LinksAndJournalsNeverLeadOutOfTheHome) {
    const std::string today = "DefaultAccount/" + formatDayName(SystemClock().now());
    const LinkRow rows[] = {
        {"IncomingIsALink", "DefaultAccount/.incoming", "dir", "", 0, true, "シンボリックリンク"},
        {"EntryOfIncomingIsALink", "DefaultAccount/.incoming/mOld", "dir", "", 0, true, ""},
        {"JournalIsALink", "DefaultAccount/.incoming/journal", "victim.txt", "", 0, true,
         "シンボリックリンク"},
        {"JournalNamesAFileOutsideTheGallery", "", "", "{out}victim.txt", 0, true,
         "取り消せません"},
        {"JournalReachesOutThroughALinkInTheGallery", "gallery/acme/out", "dir",
         "{gallery}out/inner.txt", 0, true, "取り消せません"},
        {"JournalEntryCannotBeRemoved", "gallery/acme/img99999.jpg", "", "{gallery}img99999.jpg", 0,
         true, "取り消せません"},
        {"LedgerIsALink", "DefaultAccount/UIDL.txt", "victim.txt", "", 1, false,
         "UIDL.txt はシンボリックリンク"},
        {"LockIsADanglingLink", "DefaultAccount/.poll.lock", "made.txt", "", 1, false,
         ".poll.lock はシンボリックリンク"},
        {"LogIsADanglingLink", today + "/log.txt", "made.txt", "", 1, true,
         "log.txt はシンボリックリンク"},
        {"CounterIsALink", "gallery/acme/counter.txt", "victim.txt", "", 0, false,
         "counter.txt はシンボリックリンク"},
        {"SessionFileIsALink", "sessions/acme.txt", "victim.txt", "", 0, false,
         "acme.txt はシンボリックリンク"},
    };
    DovecotServer server;
    server.addMessage(messageWithAttachments("m1@acme", "1#story", {{"p.jpg", picture(1)}}));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Home h(server);
        h.pictures[1] = picture(1);
        TempDir outside;
        const std::string out = outside.path();
        writeBytes(out + "victim.txt", "keep");
        fs::create_directories(out + "dir");
        writeBytes(out + "dir/inner.txt", "keep");
        if (!row.link.empty()) {
            fs::create_directories(fs::path(h.home + row.link).parent_path());
            fs::remove(h.home + row.link);
            if (row.to.empty())
                fs::create_directories(h.home + row.link + "/x");
            else
                fs::create_symlink(out + row.to, h.home + row.link);
        }
        if (!row.journaled.empty()) {
            std::string file =
                std::regex_replace(std::regex_replace(row.journaled, std::regex("\\{out\\}"), out),
                                   std::regex("\\{gallery\\}"), h.gallery);
            fs::create_directories(h.account + ".incoming/mX");
            writeBytes(h.account + ".incoming/journal",
                       formatIntent({"gone", "mX", "20261207/00000", {file}, "acme", ""}));
        }
        const auto before = tree(out);

        EXPECT_EQ(exitCodeOf(startPoll(h.home)), row.exitCode) << lastOutput(h.home);
        std::string said = logs(h) + lastOutput(h.home);
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        EXPECT_EQ(h.archived().size(), row.archived ? 1u : 0u);
        // The next poll completes (after the user removed a link that stopped the pass), says
        // nothing of it again, and the message has its one log line.
        if (row.archived) {
            if (row.exitCode != 0) fs::remove(h.home + row.link);
            EXPECT_EQ(exitCodeOf(startPoll(h.home)), 0) << lastOutput(h.home);
            expectEachOnce(h.archived(), 1, 2, "archive");
            expectEachOnce(h.inGallery(), 1, 2, "gallery");
            const std::string logged = logs(h);
            EXPECT_NE(logged.find("|m1@acme|"), std::string::npos) << logged;
            EXPECT_EQ(logged.find("|m1@acme|"), logged.rfind("|m1@acme|")) << logged;
            if (row.exitCode == 0 && *row.said) {
                EXPECT_EQ(logs(h).find(row.said), logs(h).rfind(row.said)) << logs(h);
            }
        }
        EXPECT_EQ(tree(out), before);
    }
}
