// The program as a Linux command: options, exit codes, quiet polls, the watch service and where
// the data lives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "app/home.h"
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

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(CommandLine, OptionsAnswerWithTheirExitCodeOnTheRightStream) {
    TempDir home;
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::string outPiece;  // "" : standard output stays empty
        std::string errPiece;  // "" : standard error stays empty
    } rows[] = {
        {{"--help", "--home", home.path()}, 0, home.path() + "korvanto.ini", ""},
        {{"-h"}, 0, "--poll-once", ""},
        {{"--version"}, 0, "korvanto " KORVANTO_VERSION "\n", ""},
        {{"-V", "--home", home.path()}, 0, KORVANTO_VERSION, ""},
        {{"-platform", "offscreen", "-style=fusion", "--help"}, 0, "--watch", ""},
        {{"--bogus"}, 64, "", "--bogus"},
        {{"-x", "--poll-once"}, 64, "", "-x"},
        {{"-q", "stray"}, 64, "", "stray"},
        {{"--home"}, 64, "", "--home"},
        {{"--home="}, 64, "", "--home"},
        {{"--poll-once", "--watch"}, 64, "", "--watch"},
        {{"-q", "-v", "--poll-once"}, 64, "", "-q"},
        {{"-platform"}, 64, "", "-platform"},
        {{"--device"}, 64, "", "--device"},
        {{"--sign-in", "--poll-once"}, 64, "", "--sign-in"},
        // No settings yet: only the user can mend that, so a watch ends at once.
        {{"--poll-once", "--home", home.path()}, 78, "", "korvanto.ini"},
        {{"--watch", "--home", home.path()}, 78, "", "korvanto.ini"},
        {{"--sign-in", "--home", home.path()}, 78, "", "korvanto.ini"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> argv{builtProgram("korvanto")};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(row.args[0]);
        ProcessResult r = runProcess(argv, {}, 10000);
        EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
        if (row.outPiece.empty())
            EXPECT_EQ(r.out, "");
        else
            EXPECT_NE(r.out.find(row.outPiece), std::string::npos) << r.out;
        if (row.errPiece.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(row.errPiece), std::string::npos) << r.err;
            if (row.exitCode == 64) {
                EXPECT_NE(r.err.find("--poll-once"), std::string::npos) << "usage on stderr";
            }
        }
    }
}

TEST(CommandLine, AQuietPollSaysSomethingOnlyWhenItArchivedOrFailed) {
    DovecotServer server;
    struct Row {
        const char* name;
        bool quiet;
        int messages;
        std::string password;  // "" : the right one
        int exitCode;
        bool saysSomething;
    } rows[] = {
        {"idle", false, 0, "", 0, true},
        {"quiet idle", true, 0, "", 0, false},
        {"quiet with a message", true, 1, "", 0, true},
        {"quiet refused", true, 0, "wrong", 77, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        server.clearMessages();
        for (int i = 0; i < row.messages; ++i)
            server.addMessage(messageWithAttachments("quiet", "1#a"));
        TempDir home;
        std::string ini = server.settingsText();
        if (!row.password.empty())
            ini.replace(ini.find(server.password()), server.password().size(), row.password);
        writeBytes(home.file("korvanto.ini"), ini);
        std::vector<std::string> argv{builtProgram("korvanto"), "--poll-once", "--home",
                                      home.path()};
        if (row.quiet) argv.push_back("-q");
        ProcessResult r = runProcess(argv);
        EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
        EXPECT_EQ(r.out.empty() && r.err.empty(), !row.saysSomething) << r.out << r.err;
        if (row.messages > 0) {
            EXPECT_NE(r.out.find("件取得"), std::string::npos) << r.out;
        }
    }
}

TEST(CommandLine, WatchArchivesWhatArrivesAndEndsCleanlyOnSigterm) {
    DovecotServer server;
    TempDir home;
    // Below the shortest interval: raised to 10 s, said once.
    writeBytes(home.file("korvanto.ini"), server.settingsText("Interval=1\r\n"));
    auto arrive = [&](const std::string& subject) {
        server.addMessage(messageWithAttachments(subject, "7#while watching",
                                                 {{"p.jpg", std::string(3000, 'p')}}));
    };
    arrive("first@nowhere");
    Process watch({builtProgram("korvanto"), "--watch", "-v", "--home", home.path()});
    ASSERT_TRUE(watch.waitFor("次のポーリング", 20000)) << watch.out() << watch.err();
    // Each later pass decodes new mail too: the MIME library must serve every pass alike.
    for (const char* subject : {"second@nowhere", "third@nowhere"}) {
        arrive(subject);
        ASSERT_TRUE(watch.waitFor(subject, 30000)) << watch.out() << watch.err();
    }
    watch.signal(SIGTERM);
    ProcessResult r = watch.finish(20000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(count(r.out, "1件取得"), 3) << r.out;
    EXPECT_EQ(count(r.err, "\n"), 1) << "nothing but the note on the interval: " << r.err;
    EXPECT_EQ(count(r.err, "短すぎます"), 1) << r.err;

    std::string account = home.file("DefaultAccount/");
    if (fs::exists(account + ".incoming")) {
        for (auto& e : fs::directory_iterator(account + ".incoming"))
            EXPECT_FALSE(e.is_directory()) << e.path();
    }
    int fd = open((account + ".poll.lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    EXPECT_EQ(fcntl(fd, F_OFD_SETLK, &fl), 0) << "the lock is released";
    close(fd);
}

TEST(CommandLine, ASignalDuringALongPassEndsItAfterTheMessageInProgress) {
    DovecotServer server;
    for (int i = 0; i < 300; ++i)
        server.addMessage(messageWithAttachments("many" + std::to_string(i), "1#a",
                                                 {{"p.jpg", std::string(20000, 'p')}}));
    TempDir home;
    writeBytes(home.file("korvanto.ini"), server.settingsText());
    Process watch({builtProgram("korvanto"), "--watch", "--home", home.path()});
    ASSERT_TRUE(watch.waitFor("|many3|", 30000)) << watch.out() << watch.err();
    watch.signal(SIGINT);
    ProcessResult r = watch.finish(20000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    int archived = count(r.out, "|many");
    EXPECT_LT(archived, 300) << "stopped before the end of the pass";
    // Every message it began is whole and recorded; the next poll takes the rest.
    std::string ledger = readBytes(home.file("DefaultAccount/UIDL.txt"));
    EXPECT_EQ(count(ledger, "\n"), archived) << ledger;
    ProcessResult rest =
        runProcess({builtProgram("korvanto"), "--poll-once", "--home", home.path()});
    EXPECT_EQ(rest.exitCode, 0) << rest.err;
    EXPECT_EQ(count(rest.out, "|many"), 300 - archived);
}

TEST(CommandLine, ASignalDuringAStalledReadEndsTheWatchAtOnce) {
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& command) -> std::string {
        if (command == "STAT") return "+OK 1 100\r\n";
        if (command.starts_with("UIDL")) return "<stall>";
        return command == "CAPA" ? "-ERR\r\n" : "+OK\r\n";
    });
    TempDir home;
    writeBytes(home.file("korvanto.ini"), "[KORVANTO2]\r\nPop3Name=" + peer.address() +
                                              "\r\nUserID=u\r\nPassword=p\r\n"
                                              "Pop3Security=none\r\n");
    Process watch({builtProgram("korvanto"), "--watch", "--home", home.path()});
    auto asked = [&] {
        for (const auto& c : peer.commands())
            if (c.starts_with("UIDL")) return true;
        return false;
    };
    for (int i = 0; i < 200 && !asked(); ++i) usleep(50000);
    ASSERT_TRUE(asked()) << watch.out() << watch.err();
    usleep(200000);  // inside the wait for the reply
    auto signalled = std::chrono::steady_clock::now();
    watch.signal(SIGTERM);
    ProcessResult r = watch.finish(20000);
    auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(CommandLine, TheDefaultHomeIsThePortableFolderOrTheUsersDataFolder) {
    TempDir root;
    fs::create_directories(root.file("portable"));
    writeBytes(root.file("portable/") + kWindowModuleName, "");
    fs::create_directories(root.file("usr/bin"));
    fs::create_directories(root.file("usr/lib/korvanto"));
    writeBytes(root.file("usr/lib/korvanto/") + kWindowModuleName, "");
    std::string xdg = root.file("xdg");
    struct Row {
        const char* name;
        std::string programDir;
        const char* xdgDataHome;
        std::string home;
    } rows[] = {
        {"portable copy", root.file("portable"), xdg.c_str(), root.file("portable")},
        {"installed", root.file("usr/bin"), xdg.c_str(), xdg + "/korvanto"},
        {"installed, no XDG", root.file("usr/bin"), nullptr,
         root.path() + "u/.local/share/korvanto"},
        {"installed, relative XDG", root.file("usr/bin"), "rel",
         root.path() + "u/.local/share/korvanto"},
    };
    std::string user = root.path() + "u";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(defaultHome(row.programDir, row.xdgDataHome, user.c_str()), fs::path(row.home));
    }
    std::string made = prepareHome(xdg + "/korvanto", true);
    EXPECT_EQ(made, xdg + "/korvanto/");
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
