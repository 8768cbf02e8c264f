// The browser's POP3 commands: listing, viewing, deleting and saving, and saved parts joined.
#include <filesystem>

#include "client/client_core.h"
#include "mail/mail_error.h"
#include "server_fixture.h"
#include "support/sample_mail.h"
#include "support/scripted_mailbox.h"
#include "support/scripted_peer.h"

namespace korv::test {
namespace {

using MailboxTest = ServerTest;

TEST_F(MailboxTest, ListsEveryMessageWithItsHeaderBlock) {
    pop3.addMessage(plainMessage(jisWord("週末の写真"_cp), jis("本文です。\r\n"_cp)));
    pop3.addMessage(plainMessage("second", "plain\r\n"));
    auto list = rows();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(pop3.messageCount(), 2);
    EXPECT_EQ(list[0].subject, "週末の写真"_cp);
    EXPECT_EQ(list[1].subject, "second");
    EXPECT_NE(list[0].date.find("2026"), std::string::npos) << list[0].date;
    EXPECT_NE(list[0].from.find("山田太郎"_cp), std::string::npos) << list[0].from;
    EXPECT_NE(list[1].header.find("Subject: second"), std::string::npos) << list[1].header;
    EXPECT_EQ(list[1].header.substr(list[1].header.size() - 2), "\r\n");
}

TEST_F(MailboxTest, NoRowsWithoutAMailboxAndTheReasonWhenItCannotBeRead) {
    EXPECT_TRUE(ListMailbox(settings()).empty());

    pop3.addMessage(plainMessage("one", "x\r\n"));
    auto errorOf = [](auto command) -> std::string {
        try {
            command();
        } catch (const mail::MailError& e) {
            return e.what();
        }
        return "no error";
    };
    Settings wrong = settings();
    wrong.Password = "not-the-password";
    std::string refused = errorOf([&] { ListMailbox(wrong); });
    EXPECT_EQ(refused.rfind("ログインエラー:"_cp, 0), 0u) << refused;
    EXPECT_NE(refused.find("-ERR"), std::string::npos) << "the server's words: " << refused;
    EXPECT_EQ(refused.find("not-the-password"), std::string::npos);

    Settings unreachable = settings();
    unreachable.Pop3Name = "127.0.0.1:" + std::to_string(closedPort());
    const std::string away = "接続失敗 "_cp + "POP3サーバ "_cp + unreachable.Pop3Name;
    EXPECT_EQ(errorOf([&] { ListMailbox(unreachable); }).rfind(away, 0), 0u);
    EXPECT_EQ(errorOf([&] { FetchBody(unreachable, 0); }).rfind(away, 0), 0u);
    // Deleting stays silent: the list reloaded after it says why.
    DeleteMessage(unreachable, 0);
    EXPECT_EQ(pop3.messageCount(), 1);
}

TEST_F(MailboxTest, ViewsTheBodyOfARowUnlessTheServerHasNoneSuch) {
    std::string longBody;
    for (int i = 1; i <= 80; ++i) longBody += "行" + std::to_string(i) + "\r\n";
    pop3.addMessage(plainMessage("first", "first body\r\n"));
    pop3.addMessage(plainMessage("long", jis(utf8ToCp932(longBody))));
    EXPECT_EQ(FetchBody(settings(), 0), "first body\r\n");
    EXPECT_EQ(FetchBody(settings(), 1), utf8ToCp932(longBody));
    EXPECT_EQ(FetchBody(settings(), 2), std::nullopt);
}

// The listing's size is only a hint; a server that understates it still gives the whole body.
TEST(FetchBody, ABodyLargerThanTheListingSaysComesOnTheSecondCall) {
    TempLocation tmp;
    const std::string body = std::string(300, 'b') + "\r\n";
    ScriptedMailbox box{{"a"}, {"From: x@example.jp\r\nSubject: s\r\n\r\n" + body}};
    ScriptedPeer peer("+OK ready\r\n", [&](const std::string& command) {
        return command == "LIST" ? "+OK\r\n1 10\r\n.\r\n" : box.answer(command);
    });
    Settings settings;
    settings.Pop3Name = peer.address();
    settings.Pop3Security = "none";
    settings.UserID = "u";
    settings.Password = "p";
    EXPECT_EQ(FetchBody(settings, 0), body);
}

TEST_F(MailboxTest, DeleteRemovesTheRowsMessageWhileTheServerHasIt) {
    for (const char* subject : {"first", "second", "third"})
        pop3.addMessage(plainMessage(subject, "1\r\n"));
    DeleteMessage(settings(), 1);
    DeleteMessage(settings(), 5);
    auto list = rows();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].subject, "first");
    EXPECT_EQ(list[1].subject, "third");
}

// A saved message is the bytes the library gave: CP932 codes that Unicode maps back elsewhere
// (NEC-selected IBM 0xED40 returns as 0xFA5C) stay as they came.
TEST_F(MailboxTest, SaveWritesTheHeaderBlockAndTheBodyBytes) {
    const std::string body = "\xED\x40\xED\x41 \x87\x40 \xFA\x5C 本文\r\n"_cp;
    pop3.addMessage(
        "From: yamada@example.jp\r\nTo: korv@example.jp\r\nSubject: sjis\r\n"
        "Date: Mon, 7 Dec 2026 10:11:12 +0900\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=Shift_JIS\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
        body);
    pop3.addMessage(plainMessage("other", "other body\r\n"));
    auto list = rows();
    ASSERT_EQ(list.size(), 2u);
    ViewedMessage viewed;
    EXPECT_EQ(SaveMessage(settings(), 0, list[0], viewed, saved.file("sjis.txt")), "");
    EXPECT_TRUE(readBytes(saved.file("sjis.txt")) == list[0].header + body);
    EXPECT_EQ(viewed.row, 0);
    EXPECT_TRUE(viewed.body == body);

    // The viewed body is written again without the server; another row needs it.
    pop3.clearMessages();
    EXPECT_EQ(SaveMessage(settings(), 0, list[0], viewed, saved.file("again.txt")), "");
    EXPECT_TRUE(readBytes(saved.file("again.txt")) == list[0].header + body);
    EXPECT_EQ(SaveMessage(settings(), 1, list[1], viewed, saved.file("gone.txt")),
              "保存できませんでした: メッセージを受信できません"_cp);
    EXPECT_FALSE(std::filesystem::exists(saved.file("gone.txt")));
    EXPECT_EQ(viewed.row, 0);
}

// Parts cut between two header lines of the attachment, saved from the server, and the same
// files as they used to be saved (one more CR LF at the end): both join.
TEST_F(MailboxTest, SavedPartsCutInsideAHeaderJoinAlsoWithAnExtraLineBreak) {
    const std::string photo = someBytes(6000, 5);
    const std::string original = messageWithAttachment("photo.jpg", photo, "Body.\r\n");
    std::size_t cut = original.find("Content-Disposition: attachment");
    std::size_t second = original.find("\r\n", original.size() * 2 / 3) + 2;
    for (const auto& part : splitMessageAt(original, "seam@example.jp", {cut, second}))
        pop3.addMessage(part);
    std::vector<std::string> now, before;
    for (int row = 0; row < 3; ++row) {
        now.push_back(saveRow(row, "now" + std::to_string(row) + ".txt"));
        before.push_back(saved.file("before" + std::to_string(row) + ".txt"));
        writeBytes(before.back(), readBytes(now.back()) + "\r\n");
    }
    for (const auto& files : {now, before}) {
        SCOPED_TRACE(files[0]);
        std::string splitId;
        for (int part = 1; part <= 3; ++part) {
            PartStatus status = ReadPartStatus(files[part - 1]);
            EXPECT_EQ(DecidePart(status.status, status.id, part == 1, part, splitId),
                      PartDecision::Add);
        }
        EXPECT_EQ(splitId, "seam@example.jp");
        TempDir target;
        ExtractionResult result = ExtractAttachment(files, target.path());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.fileName, "photo.jpg");
        EXPECT_TRUE(readBytes(target.file("photo.jpg")) == photo) << "the attachment differs";
    }
}

}  // namespace
}  // namespace korv::test
