#include "windows/tform1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "gallery/hand_off.h"
#include "platform/codepage.h"
#include "platform/file_error.h"
#include "platform/paths.h"
#include "windows/qt_text.h"
#include "windows/up_down.h"

namespace korv {
namespace {

// Shows status lines in the memo and paints them at once: a poll keeps the thread busy, and its
// lines should appear as they come.
class MemoSink : public LineSink {
  public:
    explicit MemoSink(QPlainTextEdit* memo) : memo_(memo) {}
    void addLine(const std::string& cp932) override {
        memo_->appendPlainText(toQ(cp932));
        paint();
    }
    void replaceLastLine(const std::string& cp932) override {
        QTextCursor cursor(memo_->document());
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(toQ(cp932));
        paint();
    }

  private:
    void paint() { memo_->viewport()->repaint(); }
    QPlainTextEdit* memo_;
};

QFont windowFont() {
    QFont font;
    font.setFamilies({"MS PGothic", toQ("ＭＳ Ｐゴシック"_cp), "Noto Sans CJK JP", "sans-serif"});
    font.setPixelSize(12);
    return font;
}

QFont memoFont() {
    QFont font;
    font.setFamilies({"Terminal", "Noto Sans Mono CJK JP", "monospace"});
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(15);
    return font;
}

}  // namespace

TForm1::TForm1(std::string programFolder, Clock& clock, Dialogs& dialogs, QWidget* parent)
    : QMainWindow(parent),
      ProgramFolder(std::move(programFolder)),
      clock_(clock),
      dialogs_(dialogs) {
    buildLayout();
    buildMenus();
    memoSink_ = std::make_unique<MemoSink>(memo1);
    runHandler(&TForm1::FormCreate);
    connectHandlers();
    // The field reports its first value, so the countdown and the bar start from it.
    runHandler(&TForm1::LabeledEdit1Change);
    Timer1->start();
}

TForm1::~TForm1() = default;

void TForm1::setDialogs(TWriteForm* writeForm, TUniteForm* uniteForm) {
    WriteForm = writeForm;
    UniteForm = uniteForm;
}

std::string TForm1::settingsPath() const { return ProgramFolder + "korvanto.ini"; }

void TForm1::buildLayout() {
    setWindowTitle("Korvanto 2");
    setFont(windowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Splitter1 = new QSplitter(Qt::Vertical, central);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setHandleWidth(3);
    Splitter1->setChildrenCollapsible(false);

    MailListView = new QTreeWidget(Splitter1);
    MailListView->setObjectName("MailListView");
    MailListView->setColumnCount(3);
    MailListView->setHeaderLabels({"Subject", "Date", "From"});
    MailListView->setRootIsDecorated(false);
    MailListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    MailListView->setSelectionMode(QAbstractItemView::SingleSelection);
    MailListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    MailListView->setUniformRowHeights(true);
    for (int c = 0; c < 3; ++c) MailListView->setColumnWidth(c, 40);
    MailListView->setMinimumHeight(25);
    MailListView->viewport()->installEventFilter(this);

    memo1 = new QPlainTextEdit(Splitter1);
    memo1->setObjectName("memo1");
    memo1->setFont(memoFont());
    memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Splitter1->addWidget(MailListView);
    Splitter1->addWidget(memo1);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({25, 200});
    layout->addWidget(Splitter1, 1);

    Panel1 = new QWidget(central);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(76);
    SpeedButton1 = new QPushButton(toQ("手動接続"_cp), Panel1);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setGeometry(4, 4, 69, 61);
    SpeedButton2 = new QPushButton(toQ("自動接続"_cp), Panel1);
    SpeedButton2->setObjectName("SpeedButton2");
    SpeedButton2->setCheckable(true);
    SpeedButton2->setGeometry(72, 4, 113, 61);
    ProgressBar5 = new QProgressBar(Panel1);
    ProgressBar5->setObjectName("ProgressBar5");
    ProgressBar5->setOrientation(Qt::Vertical);
    ProgressBar5->setTextVisible(false);
    ProgressBar5->setGeometry(184, 4, 13, 53);
    PopLED = new QFrame(Panel1);
    PopLED->setObjectName("PopLED");
    PopLED->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PopLED->setAutoFillBackground(true);
    PopLED->setGeometry(184, 56, 13, 9);
    setLampLit(false);
    LabeledEdit1Label = new QLabel(toQ("時間間隔（秒）"_cp), Panel1);
    LabeledEdit1Label->setGeometry(200, 24, 90, 20);
    LabeledEdit1Label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LabeledEdit1 = new QLineEdit("30", Panel1);
    LabeledEdit1->setObjectName("LabeledEdit1");
    LabeledEdit1->setGeometry(292, 24, 41, 20);
    LabeledEdit1Label->setBuddy(LabeledEdit1);
    UpDown2 = new UpDownArrows(LabeledEdit1, 10, 600, 10, 30, Panel1);
    UpDown2->setObjectName("UpDown2");
    UpDown2->setGeometry(333, 24, 15, 20);
    layout->addWidget(Panel1);
    setCentralWidget(central);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1000);

    resize(598, 328);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm1::buildMenus() {
    File1 = menuBar()->addMenu(toQ("ファイル(&F)"_cp));
    mCreate = File1->addAction(toQ("作成(&C)..."_cp));
    mReply = File1->addAction(toQ("返信(&R)"_cp));
    mReply->setEnabled(false);
    File1->addSeparator();
    mSave = File1->addAction(toQ("保存(&S)..."_cp));
    mSave->setEnabled(false);
    mAttachment = File1->addAction(toQ("展開(&E)..."_cp));
    File1->addSeparator();
    mDelete = File1->addAction(toQ("削除(&D)"_cp));
    File1->addSeparator();
    mSignIn = File1->addAction(toQ("サインイン(&I)..."_cp));
    writeini1 = File1->addAction("write ini");
    mExit = File1->addAction(toQ("終了(&X)"_cp));

    PopupMenu = new QMenu(this);
    mPopupReply = PopupMenu->addAction(toQ("返信(&R)..."_cp));
    PopupMenu->addSeparator();
    mPopupDelete = PopupMenu->addAction(toQ("削除(&D)"_cp));
}

void TForm1::connectHandlers() {
    auto bind = [this](QAction* action, void (TForm1::*handler)()) {
        connect(action, &QAction::triggered, this, [this, handler] { runHandler(handler); });
    };
    bind(mCreate, &TForm1::mCreateClick);
    bind(mReply, &TForm1::mPopupReplyClickClick);
    bind(mPopupReply, &TForm1::mPopupReplyClickClick);
    bind(mSave, &TForm1::mSaveClick);
    bind(mAttachment, &TForm1::mAttachmentClick);
    bind(mDelete, &TForm1::mDeleteClick);
    bind(mPopupDelete, &TForm1::mDeleteClick);
    bind(mSignIn, &TForm1::mSignInClick);
    bind(writeini1, &TForm1::writeini1Click);
    bind(mExit, &TForm1::mExitClick);
    connect(SpeedButton1, &QPushButton::clicked, this,
            [this] { runHandler(&TForm1::SpeedButton1Click); });
    connect(SpeedButton2, &QPushButton::clicked, this,
            [this] { runHandler(&TForm1::SpeedButton2Click); });
    connect(LabeledEdit1, &QLineEdit::textChanged, this,
            [this] { runHandler(&TForm1::LabeledEdit1Change); });
    connect(Timer1, &QTimer::timeout, this, [this] { runHandler(&TForm1::Timer1Timer); });
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    bool press = event->type() == QEvent::MouseButtonPress;
    bool release = event->type() == QEvent::MouseButtonRelease;
    if (watched == MailListView->viewport() && (press || release)) {
        auto* me = static_cast<QMouseEvent*>(event);
        QPoint pos = me->position().toPoint();
        // The list selects on press; a press on empty space selects nothing.
        if (press && !MailListView->itemAt(pos)) MailListView->clearSelection();
        runGuarded(dialogs_, this, [&] { MailListViewMouseUp(me->button(), pos.x(), pos.y()); });
        if (release && me->button() == Qt::LeftButton) runHandler(&TForm1::MailListViewClick);
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::setLampLit(bool lit) {
    QPalette pal = PopLED->palette();
    pal.setColor(QPalette::Window, lit ? QColor(255, 0, 0) : palette().color(QPalette::Button));
    PopLED->setPalette(pal);
}

void TForm1::FormCreate() {
    settings = LoadSettings(settingsPath());
    DefaultImgSetting = settings.DefaultImg;
    DefaultImg = settings.DefaultImg;
    ConnectionHandle = -1;
    AccountName = "DefaultAccount";
    ProgramFolder = withTrailingDelimiter(ProgramFolder);
    AccountFolder = ProgramFolder + AccountName + kPathDelimiter;
    status = std::make_unique<StatusLog>(*memoSink_, clock_, AccountFolder);
    if (!folderExists(AccountFolder)) createFolders(AccountFolder);
}

void TForm1::FormActivate() {
    if (activated_ || ConnectionHandle != -1) return;
    activated_ = true;
    status->BeginStatusLine();
    status->AppendStatus("開始"_cp);
    status->WriteStatusToLog();
    status->BeginStatusLine();
    if (!HasPop3Account(settings)) {
        // The home may be the user's data folder rather than the program's: say where the file is.
        dialogs_.systemBox(this, "INIファイルを作ってください"_cp + "\n" + settingsPath(),
                           "エラー"_cp);
        close();
        if (!closed_) FormClose();  // a window that was never shown gets no close event
        writeini1Click();
    }
    DefaultImg = ResolveDefaultImg(ProgramFolder, DefaultImgSetting);
    showSignedIn();
}

void TForm1::FormClose() {
    if (closed_) return;
    closed_ = true;
    status->BeginStatusLine();
    status->AppendStatus("終了"_cp);
    status->WriteStatusToLog();
}

void TForm1::writeini1Click() {
    // The default picture is stored as the name that was read, so the next start resolves it again.
    Settings toSave = settings;
    toSave.DefaultImg = DefaultImgSetting;
    SaveSettings(toSave, settingsPath());
}

void TForm1::mExitClick() { close(); }

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!activated_) QTimer::singleShot(0, this, [this] { runHandler(&TForm1::FormActivate); });
}

void TForm1::closeEvent(QCloseEvent* event) {
    runHandler(&TForm1::FormClose);
    event->accept();
}

}  // namespace korv
