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
#include <string>
#include <vector>

#include "app/qt_text.h"
#include "client/unite_form.h"
#include "client/write_form.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"

namespace korv {
namespace {

using test::ScriptedDialogs;

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

TEST(WriteForm, Layout) {
    ScriptedDialogs dialogs;
    TWriteForm form(dialogs);
    EXPECT_EQ(fromQ(form.windowTitle()), "メッセージ作成"_cp);
    EXPECT_EQ(form.font().pixelSize(), 15);
    EXPECT_EQ(fromQ(form.Label1->text()), "宛先"_cp);
    EXPECT_EQ(fromQ(form.Label2->text()), "件名"_cp);
    EXPECT_EQ(fromQ(form.Label3->text()), "添付"_cp);
    EXPECT_EQ(fromQ(form.AttachButton->text()), "参照..."_cp);
    EXPECT_EQ(fromQ(form.SendButton->text()), "送信"_cp);
    EXPECT_EQ(fromQ(form.CancelButton->text()), "中止"_cp);
    EXPECT_EQ(form.ToEdit->width(), 315);
    EXPECT_EQ(form.SubjectEdit->width(), 315);
    EXPECT_EQ(form.AttachEdit->width(), 251);
    EXPECT_EQ(form.memo1->size(), QSize(391, 239));
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

struct BodyCase {
    const char* name;
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
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(form.size(), QSize(288, 232));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.font().pixelSize(), 15);
    EXPECT_EQ(fromQ(form.Label1->text()), "ファイルリスト(&L)"_cp);
    EXPECT_EQ(form.Label1->buddy(), form.FileListBox);
    EXPECT_EQ(fromQ(form.Label2->text()), "出力フォルダ(&F)"_cp);
    EXPECT_EQ(form.Label2->buddy(), form.FolderEdit);
    EXPECT_EQ(fromQ(form.AddButton->text()), "追加(&A)"_cp);
    EXPECT_EQ(fromQ(form.UniteButton->text()), "展開(&E)"_cp);
    EXPECT_EQ(fromQ(form.CancelButton->text()), "ｷｬﾝｾﾙ"_cp);
    EXPECT_EQ(form.FileListBox->size(), QSize(280, 128));
    EXPECT_EQ(form.FolderEdit->width(), 280);
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

}  // namespace
}  // namespace korv
