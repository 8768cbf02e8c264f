#include "windows/write_form.h"

#include <QAbstractTextDocumentLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextLayout>
#include <vector>

#include "client/client_core.h"
#include "platform/codepage.h"
#include "windows/dialogs.h"
#include "windows/qt_text.h"

namespace korv {

TWriteForm::TWriteForm(Dialogs& dialogs, QWidget* parent) : QDialog(parent), dialogs_(dialogs) {
    setObjectName("WriteForm");
    setWindowTitle(toQ("メッセージ作成"_cp));
    setFont(dialogFont());

    Label1 = new QLabel(toQ("宛先"_cp), this);
    Label1->setGeometry(8, 8, 38, 23);
    ToEdit = new QLineEdit(this);
    ToEdit->setObjectName("ToEdit");
    ToEdit->setGeometry(48, 8, 315, 23);

    Label2 = new QLabel(toQ("件名"_cp), this);
    Label2->setGeometry(8, 36, 38, 23);
    SubjectEdit = new QLineEdit(this);
    SubjectEdit->setObjectName("SubjectEdit");
    SubjectEdit->setGeometry(48, 36, 315, 23);

    memo1 = new QPlainTextEdit(this);
    memo1->setObjectName("memo1");
    memo1->setGeometry(4, 66, 391, 239);
    memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo1->setTabChangesFocus(true);

    Label3 = new QLabel(toQ("添付"_cp), this);
    Label3->setGeometry(8, 313, 38, 23);
    AttachEdit = new QLineEdit(this);
    AttachEdit->setObjectName("AttachEdit");
    AttachEdit->setGeometry(48, 313, 251, 23);
    AttachButton = new QPushButton(toQ("参照..."_cp), this);
    AttachButton->setObjectName("AttachButton");
    AttachButton->setGeometry(304, 312, 75, 25);

    SendButton = new QPushButton(toQ("送信"_cp), this);
    SendButton->setObjectName("SendButton");
    SendButton->setGeometry(224, 342, 75, 25);
    SendButton->setDefault(true);
    CancelButton = new QPushButton(toQ("中止"_cp), this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setGeometry(304, 342, 75, 25);

    setTabOrder(ToEdit, SubjectEdit);
    setTabOrder(SubjectEdit, memo1);
    setTabOrder(memo1, AttachEdit);
    setTabOrder(AttachEdit, AttachButton);
    setTabOrder(AttachButton, SendButton);
    setTabOrder(SendButton, CancelButton);

    connect(AttachButton, &QPushButton::clicked, this,
            [this] { runGuarded(dialogs_, this, [this] { AttachButtonClick(); }); });
    connect(SendButton, &QPushButton::clicked, this,
            [this] { runGuarded(dialogs_, this, [this] { SendButtonClick(); }); });
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

    setFixedSize(399, 372);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TWriteForm::AttachButtonClick() {
    if (auto path = dialogs_.openFile(this, "", "")) AttachEdit->setText(toQ(*path));
}

void TWriteForm::SendButtonClick() {
    if (!Send || Send()) accept();
}

std::string TWriteForm::MessageBody() const {
    std::vector<std::string> lines;
    QTextDocument* document = memo1->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        bool last = !block.next().isValid();
        if (last && block.text().isEmpty()) break;  // the empty line after a final line break
        // A block is laid out when it is first shown; make sure it is.
        document->documentLayout()->blockBoundingRect(block);
        QTextLayout* layout = block.layout();
        QString text = block.text();
        if (!layout || layout->lineCount() == 0) {
            lines.push_back(fromQ(text));
            continue;
        }
        for (int i = 0; i < layout->lineCount(); ++i) {
            QTextLine line = layout->lineAt(i);
            QString part = text.mid(line.textStart(), line.textLength());
            part.remove(QChar::LineSeparator);
            lines.push_back(fromQ(part));
        }
    }
    return BuildMessageBody(lines);
}

}  // namespace korv
