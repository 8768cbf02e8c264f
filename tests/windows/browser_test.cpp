// The mailbox browser's wiring: the list, viewing, saving, deleting and the context menu.
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

TEST_F(ClientTest, AClickListsAndASelectionShowsTheBodyFromItsStart) {
    std::string longBody;
    for (int i = 1; i <= 80; ++i) longBody += "行" + std::to_string(i) + "\r\n";
    pop3.addMessage(plainMessage(jisWord("週末の写真"_cp), jis("本文です。\r\n"_cp)));
    pop3.addMessage(plainMessage("long", jis(utf8ToCp932(longBody))));
    start();
    form->memo1->setPlainText("old text");
    form->mDeleteClick();  // with nothing selected it only loads the list
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(pop3.messageCount(), 2);
    EXPECT_EQ(cell(0, 0), "週末の写真"_cp);
    EXPECT_NE(cell(0, 1).find("2026"), std::string::npos) << cell(0, 1);
    EXPECT_NE(cell(0, 2).find("山田太郎"_cp), std::string::npos) << cell(0, 2);
    EXPECT_EQ(memo(), "") << "a reload empties the text area";
    EXPECT_EQ(form->MailRows.size(), 2u);
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
    EXPECT_TRUE(dialogs.shown.empty());

    // A click on empty space below the rows selects nothing and fetches nothing.
    QPoint below(5, form->MailListView->viewport()->height() - 2);
    ASSERT_EQ(form->MailListView->itemAt(below), nullptr);
    QTest::mouseClick(form->MailListView->viewport(), Qt::LeftButton, {}, below);
    EXPECT_FALSE(form->mSave->isEnabled());
    EXPECT_FALSE(form->mReply->isEnabled());
    EXPECT_NE(memo().find("行80"_cp), std::string::npos);
    form->hide();

    // The popup's delete removes the selected message and reloads.
    select(0);
    form->mPopupDelete->trigger();
    EXPECT_EQ(pop3.messageCount(), 1);
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, 0), "long");

    // A row the server no longer has shows nothing new but enables the commands.
    pop3.clearMessages();
    form->memo1->setPlainText("kept");
    select(0);
    form->MailListViewClick();
    EXPECT_EQ(memo(), "kept");
    EXPECT_TRUE(form->mSave->isEnabled());
}

// Where a failure shows: each row breaks the account one way and runs one command.
TEST_F(ClientTest, TheReasonOfAFailureIsWhereTheUserLooks) {
    pop3.addMessage(plainMessage("one", "x\r\n"));
    start();
    form->mDeleteClick();
    const Settings working = form->settings;
    const std::string away = "接続失敗 "_cp + "POP3サーバ "_cp;
    enum Command { ManualPoll, TimedPoll, List, View };
    struct Row {
        const char* name;
        bool unreachable;  // else the password is wrong
        Command command;
        std::string words;  // what the box (and a poll's status line and log) begins with
    } rows[] = {
        {"manual poll, nobody listens", true, ManualPoll, away},
        {"manual poll, login refused", false, ManualPoll, "ログイン失敗 "_cp},
        {"timed poll, nobody listens", true, TimedPoll, away},
        {"list, nobody listens", true, List, away},
        {"list, login refused", false, List, "ログインエラー:"_cp},
        {"view, nobody listens", true, View, away},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        dialogs.shown.clear();
        form->settings = working;
        form->mDeleteClick();
        if (row.unreachable)
            form->settings.Pop3Name = "127.0.0.1:" + std::to_string(closedPort());
        else
            form->settings.Password = "not-the-password";
        switch (row.command) {
            case ManualPoll:
                form->SpeedButton1->click();
                break;
            case TimedPoll:
                form->LabeledEdit1->setText("1");
                form->SpeedButton2->click();
                // The same failure again is logged, not shown a second time.
                for (int tick = 0; tick < 2; ++tick) form->runHandler(&TForm1::Timer1Timer);
                form->SpeedButton2->click();
                break;
            case List:
                form->mDelete->trigger();
                break;
            case View:
                select(0);
                form->runHandler(&TForm1::MailListViewClick);
                EXPECT_TRUE(form->mSave->isEnabled());
                break;
        }
        ASSERT_EQ(dialogs.shown.size(), 1u);
        const std::string& box = dialogs.shown[0].text;
        EXPECT_EQ(dialogs.shown[0].kind, "error");
        EXPECT_EQ(box.rfind(row.words, 0), 0u) << box;
        EXPECT_GT(box.size(), row.words.size() + 4) << "the reason follows";
        EXPECT_EQ(box.find("not-the-password"), std::string::npos);
        if (row.command == ManualPoll || row.command == TimedPoll) {
            std::string lines = readBytes(home.path() + "DefaultAccount/20261207/log.txt") + "\r\n";
            EXPECT_NE(lines.find(" " + box + "\r\n"), std::string::npos) << "logged whole";
            EXPECT_NE(memo().find(" " + box), std::string::npos) << memo();
        }
    }
}

// The save writes what the library gave for the viewed row, not the text area, which status
// lines may have joined since.
TEST_F(ClientTest, SaveWritesTheViewedMessageToTheChosenFile) {
    pop3.addMessage(plainMessage(jisWord("保存"_cp), jis("一行目\r\n二行目\r\n"_cp)));
    pop3.addMessage(plainMessage("other", "other body\r\n"));
    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 2);

    // Nothing selected: no dialog at all (an unscripted dialog would fail the test).
    form->MailListView->clearSelection();
    form->mSaveClick();

    select(0);
    form->MailListViewClick();
    form->status->BeginStatusLine();
    form->status->AppendStatus("a status line after the view");
    std::string path = saved.file("message.txt");
    dialogs.fileAnswers.push_back(path);
    form->mSaveClick();
    EXPECT_EQ(readBytes(path), form->MailRows[0].header + "一行目\r\n二行目\r\n"_cp);
    EXPECT_EQ(dialogs.fileDialogFilters.back(), "テキストファイル(*.txt)|*.txt"_cp);

    // Cancel writes nothing; a row gone from the server is reported.
    dialogs.fileAnswers.push_back(std::nullopt);
    form->mSaveClick();
    pop3.clearMessages();
    select(1);
    dialogs.fileAnswers.push_back(saved.file("gone.txt"));
    form->mSaveClick();
    EXPECT_FALSE(std::filesystem::exists(saved.file("gone.txt")));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    EXPECT_EQ(dialogs.shown[0].text, "保存できませんでした: メッセージを受信できません"_cp);
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
