// The whole automatic road in one process run: `korvanto --poll-once` against a real Dovecot,
// archiving and handing pictures to a gallery.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "platform/codepage.h"
#include "support/dovecot_server.h"
#include "support/process.h"
#include "support/programs.h"
#include "support/sample_mail.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode;
    std::string out;
};

// Standard output, then standard error: the tests look for pieces, not their order.
RunResult pollOnce(const std::string& home) {
    ProcessResult r = runProcess({builtProgram("korvanto"), "--poll-once", "--home", home});
    return {r.exitCode, r.out + r.err};
}

std::set<std::string> filesUnder(const std::string& root, const std::string& skip) {
    std::set<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string p = e.path().string();
        if (p.rfind(skip, 0) != 0) out.insert(p);
    }
    return out;
}

}  // namespace

TEST(PollOnce, PicturesReachTheGalleryAndTraversalNamesWriteNothingOutside) {
    DovecotServer server;
    TempDir root;
    std::string home = root.path() + "home/";
    fs::create_directories(home + "sessions");
    fs::create_directories(home + "gallery/acme");
    writeBytes(home + "korvanto.ini", server.settingsText("SessionDB=" + home + "sessions/\r\n"));
    writeBytes(home + "sessions/acme.txt",
               "path=" + home + "gallery/acme\r\nFileNameTemplate=img###\r\n");
    writeBytes(home + "gallery/acme/counter.txt", "42\r\n");
    // A session file where "../../etc" would lead from the sessions folder: never to be used.
    fs::create_directories(root.path() + "etc");
    writeBytes(home + "sessions/../../etc.txt", "path=" + root.path() + "etc\r\n");

    std::string png = pngShaped("-first-picture");
    std::string jpg = jpegShaped(std::string("-second-picture-\x00\x01", 18));
    server.addMessage(messageWithAttachments("sunset@acme", "1234#Nice evening\r\nAt the beach",
                                             {{"a.png", png}, {"b.jpg", jpg}}));
    server.addMessage(messageWithAttachments("x@nobody", "1#unknown account", {{"c.jpg", jpg}}));
    server.addMessage(messageWithAttachments("x@../../etc", "2#traversal", {{"d.jpg", jpg}}));
    auto before = filesUnder(root.path(), home + "DefaultAccount");

    RunResult run = pollOnce(home);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find(" ->img043.jpg"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("3件取得"), std::string::npos) << run.out;

    EXPECT_EQ(readBytes(home + "gallery/acme/img043.jpg"), jpg);
    EXPECT_EQ(readBytes(home + "gallery/acme/img043.txt"),
              "<qltkeys>\r\nrequest=link\r\nlinkfrom=sunset.jpg\r\nid=1234\r\n"
              "Story=Nice evening<br>At the beach\r\n</qltkeys>\r\n");
    EXPECT_EQ(readBytes(home + "gallery/acme/counter.txt"), "43");

    auto after = filesUnder(root.path(), home + "DefaultAccount");
    std::set<std::string> added;
    for (const auto& f : after)
        if (!before.count(f)) added.insert(f);
    EXPECT_EQ(added, (std::set<std::string>{home + "gallery/acme/img043.jpg",
                                            home + "gallery/acme/img043.txt"}));
    EXPECT_TRUE(fs::is_empty(root.path() + "etc"));

    // The archive holds all three messages; the second poll finds nothing new.
    RunResult again = pollOnce(home);
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out.find("件取得"), std::string::npos) << again.out;
}

TEST(PollOnce, MissingServerSettingsEndWithAnError) {
    TempDir home;
    RunResult run = pollOnce(home.path());
    EXPECT_EQ(run.exitCode, 1);
}

// Cron tells a temporary failure from one that needs the user by the exit code; the reason goes
// to standard error.
struct ExitRow {
    const char* name;
    std::function<std::string(DovecotServer&)> pop3Name;  // the server the settings name
    std::string password;                                 // "" is the server's own
    int exitCode;
    std::string reason;  // a piece of what standard error says
};

TEST(PollOnce, ExitCodesSayWhatKindOfFailureItWas) {
    DovecotServer server;
    server.addMessage(messageWithAttachments("one", "1#a"));
    // The program logs in and counts; each peer then fails its own way.
    std::string user = "C: USER " + server.user(), pass = "C: PASS " + server.password();
    const Transcript login = {"S: +OK", "C: CAPA", "S: -ERR", user,          "S: +OK",
                              pass,     "S: +OK",  "C: STAT", "S: +OK 1 100"};
    ScriptedPeer dropping(login + Transcript{"C: UIDL", "S: +OK\r\n1 100\r\n.", "C: LIST",
                                             "S: +OK\r\n1 100\r\n.", "C: TOP 1 0",
                                             raw("+OK\r\nSubject: cut"), drop});
    ScriptedPeer noIds(login + Transcript{"C: UIDL", "S: -ERR no UIDL here", "C: QUIT", "S: +OK"});
    std::vector<ExitRow> rows = {
        {"done", [](DovecotServer& s) { return s.address(); }, "", 0, ""},
        {"unreachable", [](DovecotServer&) { return "127.0.0.1:" + std::to_string(closedPort()); },
         "", 75, "127.0.0.1"},
        {"login refused", [](DovecotServer& s) { return s.address(); }, "wrong", 77, "-ERR"},
        {"dropped mid-pass", [&](DovecotServer&) { return dropping.address(); }, "", 75,
         dropping.address()},
        {"no unique ids", [&](DovecotServer&) { return noIds.address(); }, "", 1, "UIDL"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir home;
        writeBytes(home.file("korvanto.ini"),
                   "[KORVANTO2]\r\nPop3Name=" + row.pop3Name(server) +
                       "\r\nUserID=" + server.user() +
                       "\r\nPassword=" + (row.password.empty() ? server.password() : row.password) +
                       "\r\nCaFile=" + server.caFile() + "\r\n");
        RunResult run = pollOnce(home.path());
        EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
        EXPECT_NE(run.out.find(row.reason), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find(server.password()), std::string::npos) << run.out;
    }
}

TEST(PollOnce, ASecondPollOfTheSameHomeEndsAtOnceAndTouchesNothing) {
    DovecotServer server;
    server.addMessage(messageWithAttachments("one", "1#a"));
    TempDir home;
    writeBytes(home.file("korvanto.ini"), server.settingsText());
    fs::create_directories(home.file("DefaultAccount"));
    // Another poll holds the home: the lock decides, not whether the file is there.
    int fd = open(home.file("DefaultAccount/.poll.lock").c_str(), O_RDWR | O_CREAT, 0644);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0);
    auto before = filesUnder(home.path(), "-");
    RunResult busy = pollOnce(home.path());
    EXPECT_EQ(busy.exitCode, 75);
    EXPECT_NE(busy.out.find("他のポーリングが実行中"), std::string::npos) << busy.out;
    EXPECT_EQ(filesUnder(home.path(), "-"), before);
    close(fd);
    EXPECT_EQ(pollOnce(home.path()).exitCode, 0);
    EXPECT_TRUE(fs::exists(home.file("DefaultAccount/UIDL.txt")));
}

// As root every folder is writable; the program runs as nobody to meet a read-only home.
TEST(PollOnce, AReadOnlyHomeSaysPermissionDenied) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
    TempDir root;
    fs::permissions(root.path(), fs::perms(0755));
    writeBytes(root.file("korvanto.ini"),
               "[KORVANTO2]\r\nPop3Name=127.0.0.1:1\r\nUserID=u\r\nPassword=p\r\n");
    fs::permissions(root.file("korvanto.ini"), fs::perms(0644));
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    std::string binary = builtProgram("korvanto");
    passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    uid_t uid = nobody->pw_uid;
    gid_t gid = nobody->pw_gid;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 2);
        if (setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
        execl(binary.c_str(), binary.c_str(), "--poll-once", "--home", root.path().c_str(),
              nullptr);
        _exit(127);
    }
    close(pipeFds[1]);
    std::string err;
    char buf[512];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) err.append(buf, n);
    close(pipeFds[0]);
    EXPECT_EQ(exitCodeOf(pid), 1) << err;
    EXPECT_NE(err.find("Permission denied"), std::string::npos) << err;
}

// A gallery takes pictures only from the senders its session file allows; the others are
// archived all the same.
TEST(PollOnce, AGalleryTakesPicturesOnlyFromTheSendersItAllows) {
    DovecotServer server;
    TempDir root;
    std::string home = root.path();
    for (const char* g : {"acme", "open"}) fs::create_directories(home + "gallery/" + g);
    fs::create_directories(home + "sessions");
    writeBytes(home + "korvanto.ini", server.settingsText("SessionDB=" + home + "sessions/\r\n"));
    writeBytes(home + "sessions/acme.txt",
               "path=" + home +
                   "gallery/acme\r\nAllowFrom=friend@example.jp, @Trusted.jp\r\n"
                   "maxbytes=5000\r\nallowfrom=stranger@evil.jp\r\n");
    writeBytes(home + "sessions/open.txt", "path=" + home + "gallery/open\r\n");
    struct Row {
        std::string from, subject;
        std::size_t pictureBytes;
        std::string piece;  // what the status line ends with
    } rows[] = {
        {"Friend <FRIEND@example.jp>", "a@acme", 100, ".jpg"},
        {"someone@trusted.jp", "b@acme", 100, ".jpg"},
        {"stranger@evil.jp", "c@acme", 100, " ->送信者不許可"_cp},
        {"\"friend@example.jp\" <evil@evil.jp>", "d@acme", 100, " ->送信者不許可"_cp},
        {"friend@example.jp", "e@acme", 6000, " ->サイズ超過"_cp},
        {"stranger@evil.jp", "f@open", 6000, ".jpg"},
    };
    for (const auto& row : rows) {
        std::string m = messageWithAttachments(
            row.subject, "1#story", {{"p.jpg", jpegShaped(std::string(row.pictureBytes, 'p'))}});
        m.replace(0, m.find("\r\n"), "From: " + row.from);
        server.addMessage(m);
    }
    RunResult run = pollOnce(home);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    std::string log;
    for (auto& e : fs::directory_iterator(home + "DefaultAccount"))
        if (fs::exists(e.path() / "log.txt")) log = cp932ToUtf8(readBytes(e.path() / "log.txt"));
    for (const auto& row : rows) {
        std::size_t at = run.out.find("|" + row.subject + "|");
        ASSERT_NE(at, std::string::npos) << row.subject << run.out;
        std::string line = run.out.substr(at, run.out.find('\n', at) - at);
        EXPECT_TRUE(line.ends_with(cp932ToUtf8(row.piece))) << line;
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    auto requests = [&](const char* gallery) {
        int n = 0;
        for (auto& e : fs::directory_iterator(home + "gallery/" + gallery))
            n += e.path().extension() == ".txt" && e.path().filename() != "counter.txt";
        return n;
    };
    EXPECT_EQ(requests("acme"), 2);
    EXPECT_EQ(requests("open"), 1);
    EXPECT_NE(run.out.find("6件取得"), std::string::npos) << run.out;
}
