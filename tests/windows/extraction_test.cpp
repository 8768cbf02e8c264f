// The road of a split message: three parts on the server, each viewed and saved through the
// browser, then joined by the extraction dialog into the original attachment.
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <functional>

#include "client_fixture.h"

namespace korv::test {
namespace {

class ExtractionTest : public ClientTest {
  protected:
    // Opens the dialog from the menu; `steps` play the user's part while it is open.
    int openUnite(std::function<void()> steps) {
        unite.runModal = [&](QDialog& d) {
            d.show();
            steps();
            if (d.isVisible()) d.reject();
            return d.result();
        };
        form->mAttachment->trigger();
        return unite.result();
    }
    // Adds one file through the Add button and returns the box it caused, or "".
    std::string add(const std::string& path) {
        dialogs.fileAnswers.push_back(path);
        std::size_t before = dialogs.shown.size();
        unite.AddButton->click();
        if (dialogs.shown.size() == before) return "";
        EXPECT_EQ(dialogs.shown.back().kind, "plain");
        return dialogs.shown.back().text;
    }
    std::string extract() {
        std::size_t before = dialogs.shown.size();
        unite.UniteButton->click();
        return dialogs.shown.size() == before ? "" : dialogs.shown.back().text;
    }

    TempDir out;
};

TEST_F(ExtractionTest, ThreeSavedPartsGiveTheOriginalAttachment) {
    const std::string photo = someBytes(9000, 42);
    const std::string original =
        messageWithAttachment("photo.jpg", photo, "Body of the split message.\r\n");
    for (const auto& part : splitMessage(original, "split-A@example.jp", 3)) pop3.addMessage(part);
    std::string otherPart2 = saved.file("other2.txt");
    writeBytes(otherPart2,
               splitMessage(messageWithAttachment("other.bin", someBytes(900, 9), "other\r\n"),
                            "split-B@example.jp", 3)[1]);
    std::string plain = saved.file("plain.txt");
    writeBytes(plain, plainMessage("no attachment", "text\r\n"));

    start();
    form->mDeleteClick();
    ASSERT_EQ(rows(), 3);
    std::string part1 = viewAndSave(0, "part1.txt");
    std::string part2 = viewAndSave(1, "part2.txt");
    std::string part3 = viewAndSave(2, "part3.txt");
    ASSERT_TRUE(dialogs.shown.empty());

    std::string folder = out.path().substr(0, out.path().size() - 1);  // as typed, no delimiter
    const std::string order = "分割されたメールデータの順番が正しくありません。"_cp;
    int result = openUnite([&] {
        unite.FolderEdit->setText(toQ(folder));
        EXPECT_FALSE(unite.UniteButton->isEnabled());
        EXPECT_EQ(add(part2), order);
        EXPECT_EQ(add(part1), "");
        EXPECT_TRUE(unite.UniteButton->isEnabled());
        EXPECT_EQ(add(part3), order);
        EXPECT_EQ(add(otherPart2), "分割されたメールデータが一致しません。"_cp);
        EXPECT_EQ(add(plain), "添付ファイルが存在しません"_cp);
        EXPECT_EQ(add(part2), "");
        EXPECT_EQ(unite.FileListBox->count(), 2);
        EXPECT_EQ(unite.ExpectedPart, 3);

        EXPECT_EQ(extract(), "分割されたメールが全て揃っていません。"_cp);
        EXPECT_TRUE(unite.isVisible());
        EXPECT_FALSE(std::filesystem::exists(nativePath(out.file("photo.jpg"))));

        EXPECT_EQ(add(part3), "");
        std::string report = extract();
        std::string head =
            folder + " に添付ファイル photo.jpg を作成しました。\r\n\r\n本文:\r\n"_cp;
        EXPECT_EQ(report.substr(0, head.size()), head);
        EXPECT_NE(report.find("Body of the split message.", head.size()), std::string::npos)
            << report;
        EXPECT_FALSE(unite.isVisible());
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_TRUE(readBytes(out.file("photo.jpg")) == photo) << "the attachment differs";
    ASSERT_EQ(unite.FileListBox->count(), 3);
    EXPECT_EQ(fromQ(unite.FileListBox->item(0)->text()), part1);

    // The next opening starts an empty list but keeps the folder and the split id.
    std::string splitId = unite.SplitId;
    EXPECT_FALSE(splitId.empty());
    openUnite([&] {
        EXPECT_EQ(unite.FileListBox->count(), 0);
        EXPECT_EQ(unite.ExpectedPart, 1);
        EXPECT_EQ(fromQ(unite.FolderEdit->text()), folder);
        EXPECT_EQ(unite.SplitId, splitId);
    });
}

TEST_F(ExtractionTest, CancelWritesNothing) {
    std::string whole = saved.file("whole.txt");
    writeBytes(whole, messageWithAttachment("data.bin", someBytes(100, 1), "b\r\n"));
    start();
    int result = openUnite([&] {
        unite.FolderEdit->setText(toQ(out.path()));
        add(whole);
        unite.CancelButton->click();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_FALSE(std::filesystem::exists(nativePath(out.file("data.bin"))));
}

}  // namespace
}  // namespace korv::test
