// The whole automatic road in one process run: `korvanto --poll-once` against a real Dovecot,
// archiving and handing pictures to a gallery.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <set>

#include "platform/codepage.h"
#include "support/dovecot_server.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode;
    std::string out;
};

RunResult pollOnce(const std::string& home) {
    std::string cmd = std::string(std::getenv("KORVANTO_BINARY_DIR")) +
                      "/korvanto --poll-once --home '" + home + "' 2>&1";
    RunResult r{-1, ""};
    FILE* p = popen(cmd.c_str(), "r");
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
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
    writeBytes(home + "korvanto.ini",
               "[KORVANTO2]\r\nPop3Name=" + server.address() + "\r\nUserID=" + server.user() +
                   "\r\nPassword=" + server.password() + "\r\nSessionDB=" + home + "sessions/\r\n");
    writeBytes(home + "sessions/acme.txt",
               "path=" + home + "gallery/acme\r\nFileNameTemplate=img###\r\n");
    writeBytes(home + "gallery/acme/counter.txt", "42\r\n");
    // A session file where "../../etc" would lead from the sessions folder: never to be used.
    fs::create_directories(root.path() + "etc");
    writeBytes(home + "sessions/../../etc.txt", "path=" + root.path() + "etc\r\n");

    std::string png = "\x89PNG\r\n\x1a\n-first-picture";
    std::string jpg = "\xFF\xD8\xFF\xE0-second-picture-\x00\x01\xFF\xD9";
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
