// The mailbox browser: the list, viewing, saving, deleting and the context menu.
#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>

#include "client_fixture.h"

namespace korv::test {
namespace {

TEST_F(ClientTest, DeleteWithNothingSelectedLoadsTheList) {
    pop3.addMessage(plainMessage(jisWord("週末の写真"_cp), jis("本文です。\r\n"_cp)));
    pop3.addMessage(plainMessage("second", "plain\r\n"));
    start();
    form->mDeleteClick();

    EXPECT_TRUE(dialogs.shown.empty());
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(pop3.messageCount(), 2);
    EXPECT_EQ(cell(0, 0), "週末の写真"_cp);
    EXPECT_EQ(cell(1, 0), "second");
    EXPECT_NE(cell(0, 1).find("2026"), std::string::npos) << cell(0, 1);
    EXPECT_NE(cell(0, 2).find("山田太郎"_cp), std::string::npos) << cell(0, 2);
    EXPECT_EQ(memo(), "") << "a reload empties the text area";
    ASSERT_EQ(form->HeaderBlocks.size(), 2u);
    std::string header = HeaderBlockText(form->HeaderBlocks[1].get());
    EXPECT_NE(header.find("Subject: second"), std::string::npos) << header;
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
    EXPECT_EQ(form->ConnectionHandle, -1);
}

TEST_F(ClientTest, AnEmptyMailboxGivesAnEmptyListAndNoMessage) {
    start();
    form->mDeleteClick();
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ClientTest, AWrongPasswordShowsTheServersText) {
    pop3.addMessage(plainMessage("one", "x\r\n"));
    start("not-the-password");
    form->mDeleteClick();
    EXPECT_EQ(rows(), 0);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    const std::string prefix = "ログインエラー:"_cp;
    EXPECT_EQ(dialogs.shown[0].text.substr(0, prefix.size()), prefix);
    EXPECT_GT(dialogs.shown[0].text.size(), prefix.size()) << "the server's text follows";
    EXPECT_EQ(dialogs.shown[0].text.find("not-the-password"), std::string::npos);
    EXPECT_EQ(pop3.messageCount(), 1);
}

TEST_F(ClientTest, AServerThatCannotBeReachedLeavesTheListEmptyWithoutAMessage) {
    start(std::nullopt, "127.0.0.1:" + std::to_string(closedPort()));
    form->memo1->setPlainText("old text");
    form->mDeleteClick();
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(memo(), "");
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ClientTest, ClickShowsTheBodyFromItsStart) {
    std::string longBody;
    for (int i = 1; i <= 80; ++i) longBody += "行" + std::to_string(i) + "\r\n";
    pop3.addMessage(plainMessage("first", "first body\r\n"));
    pop3.addMessage(plainMessage("long", jis(utf8ToCp932(longBody))));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 2);
    form->show();
    form->Splitter1->setSizes({150, 80});  // the user drags the list taller
    EXPECT_FALSE(form->mSave->isEnabled());

    // A real left click on the second row, through the list's event binding.
    form->MailListView->scrollToItem(form->MailListView->topLevelItem(1));
    QRect rect = form->MailListView->visualItemRect(form->MailListView->topLevelItem(1));
    QTest::mouseClick(form->MailListView->viewport(), Qt::LeftButton, {}, rect.center());

    std::string shown;
    for (int i = 1; i <= 80; ++i) shown += "行" + std::to_string(i) + "\n";
    EXPECT_EQ(memo(), utf8ToCp932(shown + "\n")) << "the body and one line break";
    EXPECT_EQ(form->memo1->textCursor().position(), 0);
    EXPECT_FALSE(form->memo1->textCursor().hasSelection());
    EXPECT_EQ(form->memo1->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(form->mSave->isEnabled());
    EXPECT_TRUE(form->mReply->isEnabled());
    EXPECT_EQ(form->ConnectionHandle, -1);
    EXPECT_TRUE(dialogs.shown.empty());

    // A click on empty space below the rows selects nothing and fetches nothing.
    QPoint below(5, form->MailListView->viewport()->height() - 2);
    ASSERT_EQ(form->MailListView->itemAt(below), nullptr);
    QTest::mouseClick(form->MailListView->viewport(), Qt::LeftButton, {}, below);
    EXPECT_FALSE(form->mSave->isEnabled());
    EXPECT_FALSE(form->mReply->isEnabled());
    EXPECT_NE(memo().find("行80"_cp), std::string::npos);
    form->hide();
}

TEST_F(ClientTest, ARowBeyondTheServersCountFetchesNothingButEnablesTheCommands) {
    pop3.addMessage(plainMessage("first", "first body\r\n"));
    pop3.addMessage(plainMessage("second", "second body\r\n"));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 2);
    pop3.clearMessages();
    pop3.addMessage(plainMessage("only", "only body\r\n"));
    form->memo1->setPlainText("kept");
    select(1);
    form->MailListViewClick();
    EXPECT_EQ(memo(), "kept");
    EXPECT_TRUE(form->mSave->isEnabled());
    EXPECT_TRUE(form->mReply->isEnabled());

    // Delete of that row removes nothing and reloads.
    form->mDeleteClick();
    EXPECT_EQ(pop3.messageCount(), 1);
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 0), "only");
}

TEST_F(ClientTest, DeleteRemovesTheSelectedMessageAndReloads) {
    pop3.addMessage(plainMessage("first", "1\r\n"));
    pop3.addMessage(plainMessage("second", "2\r\n"));
    pop3.addMessage(plainMessage("third", "3\r\n"));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 3);
    select(1);
    form->mPopupDelete->trigger();
    EXPECT_EQ(pop3.messageCount(), 2);
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(cell(0, 0), "first");
    EXPECT_EQ(cell(1, 0), "third");
    EXPECT_EQ(form->HeaderBlocks.size(), 2u);
    EXPECT_EQ(form->ConnectionHandle, -1);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ClientTest, SaveWritesTheHeaderBlockAndTheFetchedBody) {
    pop3.addMessage(plainMessage(jisWord("保存"_cp), jis("一行目\r\n二行目\r\n"_cp)));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 1);

    // Nothing selected: no dialog at all (an unscripted dialog would fail the test).
    form->MailListView->clearSelection();
    form->mSaveClick();

    std::string path = viewAndSave(0, "message.txt");
    std::string header = HeaderBlockText(form->HeaderBlocks[0].get());
    ASSERT_GE(header.size(), 2u);
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
    EXPECT_EQ(readBytes(path), header + "一行目\r\n二行目\r\n"_cp) << "the body as fetched";
    EXPECT_EQ(dialogs.fileDialogFilters.back(), "テキストファイル(*.txt)|*.txt"_cp);

    // Cancel writes nothing; a folder in the file's place is reported and nothing is written.
    dialogs.fileAnswers.push_back(std::nullopt);
    form->mSaveClick();
    std::string folderInTheWay = saved.file("folder.txt");
    std::filesystem::create_directory(folderInTheWay);
    dialogs.fileAnswers.push_back(folderInTheWay);
    form->runHandler(&TForm1::mSaveClick);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    EXPECT_NE(dialogs.shown[0].text.find(folderInTheWay), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(folderInTheWay));
}

// A saved message is the bytes the library gave, whatever the text area shows: CP932 codes that
// Unicode maps back elsewhere (NEC-selected IBM 0xED40 returns as 0xFA5C) and status lines
// written since stay out of it.
TEST_F(ClientTest, SaveKeepsTheBytesOfTheBody) {
    const std::string body =
        "\xED\x40\xED\x41 \x87\x40 \xFA\x5C "
        "本文\r\n"_cp;
    pop3.addMessage(
        "From: yamada@example.jp\r\nTo: korv@example.jp\r\nSubject: sjis\r\n"
        "Date: Mon, 7 Dec 2026 10:11:12 +0900\r\nMIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=Shift_JIS\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
        body);
    pop3.addMessage(plainMessage("other", "other body\r\n"));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 2);
    select(0);
    form->MailListViewClick();
    form->status->BeginStatusLine();
    form->status->AppendStatus("a status line after the view");
    dialogs.fileAnswers.push_back(saved.file("sjis.txt"));
    form->mSaveClick();
    std::string header = HeaderBlockText(form->HeaderBlocks[0].get());
    EXPECT_TRUE(readBytes(saved.file("sjis.txt")) == header + body)
        << readBytes(saved.file("sjis.txt"));

    // A row selected without a view is fetched for the save; the text area stays as it is.
    std::string shown = memo();
    select(1);
    dialogs.fileAnswers.push_back(saved.file("other.txt"));
    form->mSaveClick();
    EXPECT_EQ(readBytes(saved.file("other.txt")),
              HeaderBlockText(form->HeaderBlocks[1].get()) + "other body\r\n");
    EXPECT_EQ(memo(), shown);
    EXPECT_TRUE(dialogs.shown.empty());

    // A message gone from the server is not saved with another's body.
    pop3.clearMessages();
    select(0);
    form->MailListViewClick();
    dialogs.fileAnswers.push_back(saved.file("gone.txt"));
    form->mSaveClick();
    EXPECT_FALSE(std::filesystem::exists(saved.file("gone.txt")));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
}

TEST_F(ClientTest, RightButtonOpensThePopupMenuAtThePointer) {
    start();
    form->show();
    QTest::mousePress(form->MailListView->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(form->PopupMenu->isVisible());
    QTest::mouseRelease(form->MailListView->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(form->PopupMenu->isVisible());
    QTest::mousePress(form->MailListView->viewport(), Qt::RightButton, {}, QPoint(6, 7));
    ASSERT_TRUE(form->PopupMenu->isVisible());
    EXPECT_EQ(form->PopupMenu->pos(), form->MailListView->viewport()->mapToGlobal(QPoint(6, 7)));
    form->PopupMenu->hide();
    form->hide();
}

}  // namespace
}  // namespace korv::test
