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

// Cron and systemd tell who must act by the exit code: only 75 may cure itself; the reason goes
// to standard error.
struct ExitRow {
    const char* name;
    std::function<std::string(DovecotServer&)> pop3Name;  // the server the settings name
    std::string more;                                     // further settings lines
    std::string password;                                 // "" is the server's own
    int exitCode;
    std::string reason;  // a piece of what standard error says
    bool settingsFile = true;
};

TEST(PollOnce, ExitCodesSayWhoMustAct) {
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
    const std::string trusted = "CaFile=" + server.caFile() + "\r\n",
                      plain = "Pop3Security=none\r\n";
    auto dovecot = [](DovecotServer& s) { return s.address(); };
    std::vector<ExitRow> rows = {
        {"done", dovecot, trusted, "", 0, ""},
        {"unreachable", [](DovecotServer&) { return "127.0.0.1:" + std::to_string(closedPort()); },
         trusted, "", 75, "127.0.0.1"},
        {"dropped mid-pass", [&](DovecotServer&) { return dropping.address(); }, plain, "", 75,
         dropping.address()},
        {"login refused", dovecot, trusted, "wrong", 77, "-ERR"},
        {"no settings file", dovecot, "", "", 78, "korvanto.ini", false},
        {"Pop3Name does not parse", [](DovecotServer&) { return "pop4://host"; }, trusted, "", 78,
         "pop4://host"},
        {"unknown Pop3Security", dovecot, trusted + "Pop3Security=maybe\r\n", "", 78, "maybe"},
        {"missing CaFile", dovecot, "CaFile=/nonexistent/ca.pem\r\n", "", 78,
         "/nonexistent/ca.pem"},
        {"certificate refused", dovecot, "", "", 1, "証明書"},
        {"no unique ids", [&](DovecotServer&) { return noIds.address(); }, plain, "", 1, "UIDL"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir home;
        if (row.settingsFile)
            writeBytes(
                home.file("korvanto.ini"),
                "[KORVANTO2]\r\nPop3Name=" + row.pop3Name(server) + "\r\nUserID=" + server.user() +
                    "\r\nPassword=" + (row.password.empty() ? server.password() : row.password) +
                    "\r\n" + row.more);
        ProcessResult run =
            runProcess({builtProgram("korvanto"), "--poll-once", "--home", home.path()});
        EXPECT_EQ(run.exitCode, row.exitCode) << run.out << run.err;
        EXPECT_NE(run.err.find(row.reason), std::string::npos) << run.err;
        EXPECT_EQ((run.out + run.err).find(server.password()), std::string::npos) << run.out;
    }
}

// A refused login is the user's to cure only without a response code or with [AUTH]; the
// others say a later login may pass (or the server itself is broken). UTF8 goes before the login
// only when CAPA lists it.
struct LoginCodeRow {
    const char* name;
    std::string capabilities;  // CAPA lines
    std::string refusal;       // the answer to PASS
    int exitCode;
    std::string statusWord;  // on the status line
};

TEST(PollOnce, LoginRefusalsAreToldApartByTheirResponseCode) {
    const std::vector<LoginCodeRow> rows = {
        {"login delay", "UTF8\r\nLOGIN-DELAY 900", "-ERR [LOGIN-DELAY] wait", 75,
         "ログイン一時拒否"},
        {"in use", "UTF8", "-ERR [IN-USE] locked", 75, "ログイン一時拒否"},
        {"temporary fault", "UTF8", "-ERR [SYS/TEMP] try later", 75, "ログイン一時拒否"},
        {"wrong password", "UTF8", "-ERR [AUTH] no", 77, "ログイン失敗"},
        {"no code", "UIDL", "-ERR no", 77, "ログイン失敗"},
        {"unknown code", "RESP-CODES", "-ERR [XYZ] no", 77, "ログイン失敗"},
        {"permanent fault", "", "-ERR [SYS/PERM] broken", 1, "ログイン失敗"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Transcript talk = {
            "S: +OK ready", "C: CAPA",
            row.capabilities.empty() ? "S: -ERR" : "S: +OK\r\n" + row.capabilities + "\r\n."};
        if (row.capabilities.find("UTF8") != std::string::npos)
            talk = talk + Transcript{"C: UTF8", "S: +OK"};
        ScriptedPeer peer(talk + Transcript{"C: USER u", "S: +OK", "C: PASS p",
                                            Step("S: " + row.refusal), "C: QUIT", "S: +OK"});
        TempDir home;
        writeBytes(home.file("korvanto.ini"),
                   "[KORVANTO2]\r\nPop3Name=" + peer.address() +
                       "\r\nPop3Security=none\r\nUserID=u\r\nPassword=p\r\n");
        RunResult run = pollOnce(home.path());
        EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
        EXPECT_NE(run.out.find(row.statusWord), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(row.refusal), std::string::npos) << run.out;
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
    const std::string refused = " ->送信者不許可"_cp;
    struct Row {
        std::string from, subject;
        std::size_t pictureBytes;
        std::string piece;  // what the status line ends with
        int receivedLines = 0;
    } rows[] = {
        {"Friend <FRIEND@example.jp>", "a@acme", 100, ".jpg"},
        {"someone@trusted.jp", "b@acme", 100, ".jpg"},
        {"stranger@evil.jp", "c@acme", 100, refused},
        {"\"friend@example.jp\" <evil@evil.jp>", "d@acme", 100, refused},
        {"friend@example.jp", "e@acme", 6000, " ->サイズ超過"_cp},
        {"stranger@evil.jp", "f@open", 6000, ".jpg"},
        // From far past the first 8 KB of the header.
        {"friend@example.jp", "g@acme", 100, ".jpg", 150},
        // What the summary shows is not the allowed address.
        {"friend@example.jp@bad.example", "h@acme", 100, refused},
        {"<friend@example.jp>@bad.example", "i@acme", 100, refused},
        {"friend@example.jp, stranger@evil.jp", "j@acme", 100, refused},
        {"=?UTF-8?Q?friend@example.jp_<friend@example.jp>?= <evil@evil.jp>", "k@acme", 100,
         refused},
    };
    for (const auto& row : rows) {
        std::string m = messageWithAttachments(
            row.subject, "1#story", {{"p.jpg", jpegShaped(std::string(row.pictureBytes, 'p'))}});
        m.replace(0, m.find("\r\n"), "From: " + row.from);
        for (int i = 0; i < row.receivedLines; ++i)
            m.insert(0, "Received: from relay" + std::to_string(i) +
                            ".example.net by mx.example.jp; Mon, 7 Dec 2026 09:00:00 +0900\r\n");
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
    EXPECT_EQ(requests("acme"), 3);
    EXPECT_EQ(requests("open"), 1);
    EXPECT_NE(run.out.find("11件取得"), std::string::npos) << run.out;
}
