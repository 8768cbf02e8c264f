// The two dialogs on their own: layout, the body built from the text area's lines, the attachment
// field, and the opening rules of the extraction dialog.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/mail_texts.h"
#include "support/named_rows.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"
#include "windows/qt_text.h"
#include "windows/unite_form.h"
#include "windows/write_form.h"

namespace korv {
namespace {

using namespace test;

// The dialog's own controls that Tab reaches, in focus-chain order from first.
std::vector<QWidget*> tabChain(QWidget* first, std::size_t n) {
    std::vector<QWidget*> chain{first};
    for (QWidget* w = first->nextInFocusChain(); w != first && chain.size() < n;
         w = w->nextInFocusChain()) {
        if (w->parentWidget() == first->parentWidget() && (w->focusPolicy() & Qt::TabFocus))
            chain.push_back(w);
    }
    return chain;
}

// Texts, focus order and the fixed client area; pixel sizes are left to the screenshots.
TEST(WriteForm, Layout) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    EXPECT_EQ(fromQ(form.windowTitle()), "メッセージ作成"_cp);
    EXPECT_EQ(fromQ(form.Label1->text()), "宛先"_cp);
    EXPECT_EQ(fromQ(form.Label2->text()), "件名"_cp);
    EXPECT_EQ(fromQ(form.Label3->text()), "添付"_cp);
    EXPECT_EQ(fromQ(form.AttachButton->text()), "参照..."_cp);
    EXPECT_EQ(fromQ(form.SendButton->text()), "送信"_cp);
    EXPECT_EQ(fromQ(form.CancelButton->text()), "中止"_cp);
    EXPECT_EQ(form.memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(form.memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(form.SendButton->isDefault());
    std::vector<QWidget*> order{form.ToEdit,      form.SubjectEdit,  form.memo1,
                                form.AttachEdit,  form.AttachButton, form.SendButton,
                                form.CancelButton};
    EXPECT_EQ(tabChain(form.ToEdit, 7), order);
    // Every control lies inside the fixed client area.
    for (QWidget* w : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(form.rect().contains(w->geometry())) << w->objectName().toStdString();
}

TEST(WriteForm, SendAndCancelCloseWithTheirResults) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    form.show();
    form.SendButton->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    form.show();
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_FALSE(form.isVisible());
}

TEST(WriteForm, ByDefaultRunsAsARealModalDialog) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    QTimer::singleShot(0, &form, [&] {
        EXPECT_TRUE(form.isModal());
        form.SendButton->click();
    });
    EXPECT_EQ(form.showModal(), QDialog::Accepted);
    QTimer::singleShot(0, &form, [&] { QTest::keyClick(form.ToEdit, Qt::Key_Escape); });
    EXPECT_EQ(form.showModal(), QDialog::Rejected);
}

TEST(WriteForm, AttachButtonTakesThePickedPathOrKeepsTheField) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    form.AttachEdit->setText("/old/path.jpg");
    dialogs.fileAnswers = {std::nullopt, "/home/u/写真.jpg"_cp};
    form.AttachButtonClick();
    EXPECT_EQ(fromQ(form.AttachEdit->text()), "/old/path.jpg");
    form.AttachButton->click();
    EXPECT_EQ(fromQ(form.AttachEdit->text()), "/home/u/写真.jpg"_cp);
    EXPECT_EQ(dialogs.fileDialogFilters, (std::vector<std::string>{"", ""}));
}

struct BodyCase : NamedRow {
    const char* utf8Text;
    std::string body;  // CP932
};

class WriteFormBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(WriteFormBody, LinesFollowedByCrLf) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    form.show();
    form.memo1->setPlainText(QString::fromUtf8(GetParam().utf8Text));
    EXPECT_EQ(form.MessageBody(), GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WriteFormBody,
    ::testing::Values(BodyCase{"Empty", "", ""}, BodyCase{"OneLine", "hello", "hello\r\n"},
                      BodyCase{"OneLineWithBreak", "hello\n", "hello\r\n"},
                      BodyCase{"TwoFinalBreaks", "hello\n\n", "hello\r\n\r\n"},
                      BodyCase{"EmptyLineInside", "a\n\nb", "a\r\n\r\nb\r\n"},
                      BodyCase{"OnlyABreak", "\n", "\r\n"},
                      BodyCase{"Japanese", "こんにちは\n①髙～", "こんにちは\r\n①髙～\r\n"_cp}),
    byName);

TEST(WriteFormBody, WrappedLinesAreSentAsTheLinesShown) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    form.show();
    std::string words;
    for (int i = 0; i < 40; ++i) words += "word" + std::to_string(i) + " ";
    words += "end";
    form.memo1->setPlainText(QString::fromStdString(words + "\nnext"));
    std::string body = form.MessageBody();

    std::vector<std::string> lines;
    for (std::size_t at = 0; at < body.size();) {
        std::size_t crlf = body.find("\r\n", at);
        ASSERT_NE(crlf, std::string::npos) << "body must end with CR LF";
        lines.push_back(body.substr(at, crlf - at));
        at = crlf + 2;
    }
    ASSERT_GT(lines.size(), 3u) << body;
    EXPECT_EQ(lines.back(), "next");
    std::string joined;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_LT(
            form.memo1->fontMetrics().horizontalAdvance(QString::fromStdString(lines[i])),
            form.memo1->viewport()->width() + form.memo1->fontMetrics().averageCharWidth() * 2)
            << lines[i];
        joined += lines[i];
    }
    EXPECT_EQ(joined, words) << "wrapping must neither lose nor add characters";
}

TEST(UniteForm, Layout) {
    ScriptedDialogs dialogs;
    TUniteForm form(dialogs);
    EXPECT_EQ(fromQ(form.windowTitle()), "添付ファイルを展開して保存"_cp);
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(fromQ(form.Label1->text()), "ファイルリスト(&L)"_cp);
    EXPECT_EQ(form.Label1->buddy(), form.FileListBox);
    EXPECT_EQ(fromQ(form.Label2->text()), "出力フォルダ(&F)"_cp);
    EXPECT_EQ(form.Label2->buddy(), form.FolderEdit);
    EXPECT_EQ(fromQ(form.AddButton->text()), "追加(&A)"_cp);
    EXPECT_EQ(fromQ(form.UniteButton->text()), "展開(&E)"_cp);
    EXPECT_EQ(fromQ(form.CancelButton->text()), "ｷｬﾝｾﾙ"_cp);
    EXPECT_TRUE(form.UniteButton->isDefault());
    std::vector<QWidget*> order{form.FileListBox, form.FolderEdit, form.AddButton, form.UniteButton,
                                form.CancelButton};
    EXPECT_EQ(tabChain(form.FileListBox, 5), order);
    for (QWidget* w : form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(form.rect().contains(w->geometry())) << w->objectName().toStdString();
}

TEST(UniteForm, EachOpeningStartsAnEmptyListButKeepsFolderAndSplitId) {
    ScriptedDialogs dialogs;
    TUniteForm form(dialogs);
    EXPECT_EQ(fromQ(form.FolderEdit->text()), currentFolder());

    form.FolderEdit->setText("/somewhere/else");
    form.SplitId = "id-1";
    form.FileListBox->addItem("/a.txt");
    form.ExpectedPart = 3;
    form.UniteButton->setEnabled(true);
    form.show();
    EXPECT_EQ(form.FileListBox->count(), 0);
    EXPECT_EQ(form.ExpectedPart, 1);
    EXPECT_FALSE(form.UniteButton->isEnabled());
    EXPECT_EQ(form.FolderEdit->text(), "/somewhere/else");
    EXPECT_EQ(form.SplitId, "id-1");
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(form.result(), QDialog::Rejected);
}

TEST(UniteForm, ByDefaultRunsAsARealModalDialogThatOpensEmpty) {
    ScriptedDialogs dialogs;
    TUniteForm form(dialogs);
    form.FileListBox->addItem("/left/over.txt");
    QTimer::singleShot(0, &form, [&] {
        EXPECT_EQ(form.FileListBox->count(), 0);
        form.CancelButton->click();
    });
    EXPECT_EQ(form.showModal(), QDialog::Rejected);
}

TEST(UniteForm, CancelledOrUnreadableFilesAddNothing) {
    test::TempDir dir;
    ScriptedDialogs dialogs;
    TUniteForm form(dialogs);
    form.show();
    dialogs.fileAnswers = {std::nullopt, dir.file("missing.txt")};
    form.AddButton->click();
    EXPECT_TRUE(dialogs.shown.empty());
    form.AddButton->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    EXPECT_NE(dialogs.shown[0].text.find(dir.file("missing.txt")), std::string::npos);
    EXPECT_EQ(form.FileListBox->count(), 0);
    EXPECT_EQ(form.ExpectedPart, 1);
    EXPECT_EQ(dialogs.fileDialogFilters[0], "テキストファイル|*.txt"_cp);
    form.hide();
}

TEST(UniteForm, ExtractWithAnEmptyListDoesNothing) {
    ScriptedDialogs dialogs;
    TUniteForm form(dialogs);
    form.show();
    form.UniteButtonClick();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(form.isVisible());
    form.hide();
}

// Saved message files straight from disk: the acceptance rules and the reports, with the real
// mail library.
class UniteFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        form.show();
        form.FolderEdit->setText(toQ(out.path()));
    }
    std::string file(const std::string& name, const std::string& text) {
        test::writeBytes(dir.file(name), text);
        return dir.file(name);
    }
    std::string add(const std::string& path) {
        dialogs.fileAnswers.push_back(path);
        std::size_t before = dialogs.shown.size();
        form.AddButton->click();
        return dialogs.shown.size() == before ? "" : dialogs.shown.back().text;
    }

    test::TempDir dir, out;
    ScriptedDialogs dialogs;
    TUniteForm form{dialogs};
};

TEST_F(UniteFiles, PartsInOrderAreJoinedAndMissingPartsReported) {
    const std::string data = test::someBytes(5000, 11);
    auto parts = test::splitMessage(test::messageWithAttachment("picture.png", data, "body\r\n"),
                                    "split-X@example.jp", 3);
    std::string p1 = file("p1.txt", parts[0]), p2 = file("p2.txt", parts[1]),
                p3 = file("p3.txt", parts[2]);
    EXPECT_EQ(add(p2), "分割されたメールデータの順番が正しくありません。"_cp);
    EXPECT_EQ(add(p1), "");
    EXPECT_EQ(add(p2), "");
    form.UniteButton->click();
    EXPECT_EQ(dialogs.shown.back().text, "分割されたメールが全て揃っていません。"_cp);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(add(p3), "");
    form.UniteButton->click();
    EXPECT_EQ(dialogs.shown.back().kind, "plain");
    EXPECT_EQ(dialogs.shown.back().text,
              fromQ(form.FolderEdit->text()) +
                  " に添付ファイル picture.png を作成しました。\r\n\r\n本文:\r\nbody"_cp)
        << "the line end before a boundary belongs to the boundary";
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_TRUE(test::readBytes(out.file("picture.png")) == data) << "the attachment differs";
}

TEST_F(UniteFiles, AWholeMessageThenAPartOfTheRememberedSplit) {
    auto parts =
        test::splitMessage(test::messageWithAttachment("a.bin", test::someBytes(900, 1), "x\r\n"),
                           "split-Y@example.jp", 2);
    std::string whole =
        file("whole.txt", test::messageWithAttachment("w.bin", test::someBytes(300, 2), "w\r\n"));
    std::string p1 = file("p1.txt", parts[0]), p2 = file("p2.txt", parts[1]);
    // An earlier opening took part 1 of split Y.
    EXPECT_EQ(add(p1), "");
    std::string splitId = form.SplitId;
    form.hide();
    form.show();
    EXPECT_EQ(form.SplitId, splitId);

    EXPECT_EQ(add(whole), "");
    EXPECT_EQ(add(whole), "分割されたメールデータの順番が正しくありません。"_cp);
    EXPECT_EQ(add(p2), "") << "part 2 of the remembered split follows a whole message";
    EXPECT_EQ(form.FileListBox->count(), 2);

    auto other =
        test::splitMessage(test::messageWithAttachment("b.bin", test::someBytes(900, 3), "y\r\n"),
                           "split-Z@example.jp", 2);
    form.hide();
    form.show();
    EXPECT_EQ(add(whole), "");
    EXPECT_EQ(add(file("z2.txt", other[1])), "分割されたメールデータが一致しません。"_cp);
    EXPECT_EQ(add(file("plain.txt", test::plainMessage("none", "text\r\n"))),
              "添付ファイルが存在しません"_cp);
    EXPECT_EQ(form.FileListBox->count(), 1);
    EXPECT_EQ(form.ExpectedPart, 2);
}

TEST_F(UniteFiles, AWholeMessageIsExtractedAlone) {
    const std::string data = test::someBytes(2500, 5);
    EXPECT_EQ(add(file("whole.txt", test::messageWithAttachment("data.bin", data, "whole\r\n"))),
              "");
    EXPECT_EQ(form.ExpectedPart, 2);
    form.UniteButton->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find(" に添付ファイル data.bin を作成しました。"_cp),
              std::string::npos);
    EXPECT_TRUE(test::readBytes(out.file("data.bin")) == data) << "the attachment differs";
    EXPECT_FALSE(form.isVisible());
}

TEST_F(UniteFiles, AnOutputFolderThatCannotTakeTheFileIsReported) {
    std::string whole =
        file("whole.txt", test::messageWithAttachment("w.bin", test::someBytes(300, 2), "w\r\n"));
    EXPECT_EQ(add(whole), "");
    form.FolderEdit->setText(toQ(out.file("no-such-folder")));
    form.UniteButton->click();
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ(dialogs.shown.back().text, "添付ファイルをオープンできません。"_cp);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.FileListBox->count(), 1);
}

}  // namespace
}  // namespace korv
