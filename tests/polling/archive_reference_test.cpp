// Other people's mail, one small message per kind that went wrong in real corpora: after a poll
// against a real Dovecot, header.txt, body.txt and every attachment hold what Python's email
// package reads from the same bytes (tests/support/mail_reference.py), in CP932.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "polling/poll.h"
#include "support/dovecot_server.h"
#include "support/fake_clock.h"
#include "support/named_rows.h"
#include "support/recording_sink.h"
#include "support/sample_mail.h"
#include "support/temp_dir.h"

using namespace korv;
using namespace korv::test;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

const std::string kHead = "From: a@example.jp\r\nTo: korv@example.jp\r\nSubject: s\r\n";

std::string multipart(const std::string& parts) {
    return kHead + "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n" +
           parts + "--b--\r\n";
}

std::string longHeader() {
    std::string received;
    for (int i = 0; received.size() < 12000; ++i)
        received += "Received: from relay" + std::to_string(i) +
                    ".example.jp (relay.example.jp [192.0.2.1])\r\n\tby mx.example.jp with "
                    "ESMTPS id " +
                    std::string(40, 'a' + i % 26) + ";\r\n\tMon, 7 Dec 2026 09:00:00 +0900\r\n";
    return received + kHead + "\r\nbody\r\n";
}

std::string text(const std::string& charset, const std::string& bytes) {
    return kHead + "Content-Type: text/plain; charset=" + charset + "\r\n\r\n" + bytes + "\r\n";
}

struct Row : NamedRow {
    std::string raw;
};

const Row kRows[] = {
    {{"header over 8 KB"}, longHeader()},
    {{"NUL byte in a text body"}, kHead + "\r\nbefore\0after\r\n"s},
    {{"attached message keeps CR LF"},
     multipart("--b\r\nContent-Type: text/plain\r\n\r\nsee below\r\n--b\r\n"
               "Content-Type: message/rfc822\r\n\r\nFrom: c@example.jp\r\nSubject: inner\r\n\r\n"
               "inner line 1\r\ninner line 2\r\n")},
    {{"base64 without padding keeps its last bytes"},
     multipart("--b\r\nContent-Type: application/pdf; name=\"d.pdf\"\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQKJSVFT0YK\r\nJUVPRgo\r\n")},
    {{"Content-Type without subtype keeps its charset"},
     kHead + "Content-Type: text; charset=euc-jp\r\n\r\nplain \xC9\xBD\r\n"},
    {{"Content-Type that does not parse"}, kHead + "Content-Type: <html>\r\n\r\n<p>text\r\n"},
    {{"empty Content-Type"}, kHead + "Content-Type: \r\n\r\nplain text\r\n"},
    {{"a line that is no header field starts the body"},
     kHead + "This line is the body\r\nsecond line\r\n\r\nthird\r\n"},
    {{"attached message without a header is kept whole"},
     multipart("--b\r\nContent-Type: text/plain\r\n\r\nbounce\r\n--b\r\n"
               "Content-Type: message/rfc822\r\n\r\nThe original message had no header\r\n"
               "line 2\r\n")},
    {{"multipart without its boundaries is text"},
     kHead + "Content-Type: multipart/mixed; boundary=\"zz\"\r\n\r\nno boundary\r\ncomes\r\n"},
    {{"UTF-8 control codes stay"},
     text("utf-8",
          "a\x1A"
          "b\x1C"
          "c\x7F"
          "d\xE8\xA1\xA8")},
    {{"undecodable EUC-JP byte"},
     text("euc-jp",
          "a\xFF"
          "b\xC9\xBD")},
    {{"undecodable GB2312 byte"},
     text("gb2312",
          "a\xFF"
          "b\xB1\xED")},
    {{"undecodable EUC-KR byte"},
     text("euc-kr",
          "a\xFF"
          "b\xC7\xA5")},
};

// Runs the reference reader on the message and the archive; its report of differences.
std::string differences(const std::string& raw, const std::string& folder, const TempDir& dir) {
    writeBytes(dir.file("message.eml"), raw);
    std::string command = "/usr/bin/python3 '" + std::string(std::getenv("KORVANTO_SOURCE_DIR")) +
                          "/tests/support/mail_reference.py' '" + dir.file("message.eml") + "' '" +
                          folder + "' 2>&1";
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return "cannot run " + command;
    std::array<char, 512> buf;
    for (std::size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
    int status = pclose(p);
    return status == 0 ? out : out + "(exit " + std::to_string(status) + ")";
}

struct ArchiveAsPythonReadsIt : ::testing::TestWithParam<Row> {
    static inline std::unique_ptr<DovecotServer> server;
    static void SetUpTestSuite() { server = std::make_unique<DovecotServer>(); }
    static void TearDownTestSuite() { server.reset(); }

    struct HeaderSeen : HandOff {
        std::string header;
        HandOffFiles prepare(const ArchivedMessage& m) override {
            header = m.header;
            return {};
        }
        void carryOut() override {}
    };
};

TEST_P(ArchiveAsPythonReadsIt, HeaderBodyAndAttachments) {
    server->clearMessages();
    server->addMessage(GetParam().raw);
    TempDir home;
    RecordingSink sink;
    FakeClock clock{DateTime{2026, 12, 7, 9, 0, 0, 0}};
    Settings settings;
    settings.Pop3Name = server->address();
    settings.Pop3Security = "none";
    settings.UserID = server->user();
    settings.Password = server->password();
    std::string account = home.path() + "DefaultAccount/";
    fs::create_directories(account);
    StatusLog status{sink, clock, account};
    status.BeginStatusLine();
    HeaderSeen handOff;
    PollContext ctx{settings, account, status, clock, &handOff};
    ASSERT_EQ(PollMailbox(ctx).counts.archived, 1);

    const std::string folder = account + "20261207/00000/";
    EXPECT_EQ(differences(GetParam().raw, folder, home), "");
    // The gallery hand-off gets the same whole header.
    EXPECT_EQ(handOff.header, readBytes(folder + "header.txt"));
}

INSTANTIATE_TEST_SUITE_P(Rows, ArchiveAsPythonReadsIt, ::testing::ValuesIn(kRows), byName);

}  // namespace
