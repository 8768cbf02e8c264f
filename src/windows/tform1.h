#pragma once
// The main window: the message list, the activity memo, the poll controls and the menus.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "activity/status_log.h"
#include "client/mailbox.h"
#include "platform/clock.h"
#include "polling/poll.h"
#include "settings/settings.h"
#include "windows/dialogs.h"

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTimer;
class QTreeWidget;
class QWidget;

namespace korv {

class TWriteForm;
class TUniteForm;
class UpDownArrows;

class TForm1 : public QMainWindow {
    Q_OBJECT
  public:
    // programFolder ends with a delimiter; it holds korvanto.ini and DefaultAccount/.
    TForm1(std::string programFolder, Clock& clock, Dialogs& dialogs, QWidget* parent = nullptr);
    ~TForm1() override;

    void setDialogs(TWriteForm* writeForm, TUniteForm* uniteForm);

    // Handlers bound to the window's events. Each may raise; runHandler shows what it raises in
    // the standard error box.
    void FormCreate();
    void FormActivate();
    void FormClose();
    void writeini1Click();
    void mExitClick();

    void SpeedButton1Click();
    void SpeedButton2Click();
    void LabeledEdit1Change();
    void Timer1Timer();
    PollResult PollWithLed();

    void RefreshMailList();
    void MailListViewClick();
    void MailListViewMouseUp(Qt::MouseButton button, int x, int y);
    void mDeleteClick();
    void mSaveClick();
    void mAttachmentClick();
    void mCreateClick();
    void mPopupReplyClickClick();
    // OAuth2: the same sign-in as `korvanto --sign-in`, and who is signed in on the status bar.
    void mSignInClick();
    void showSignedIn();

    template <typename Handler>
    void runHandler(Handler handler) {
        runGuarded(dialogs_, this, [&] { (this->*handler)(); });
    }

    // Fields of the window.
    int ConnectionHandle = -1;
    Settings settings;
    std::string DefaultImgSetting;  // as read from the settings file
    std::string DefaultImg;         // resolved at first activation
    std::string AccountName;
    std::string AccountFolder;
    std::string ProgramFolder;
    int Countdown = 0;
    std::unique_ptr<StatusLog> status;
    // The list's rows as the server gave them, in row order.
    std::vector<MailRow> MailRows;
    // The save command writes these bytes, not the text area's Unicode text.
    ViewedMessage Viewed;

    // Controls.
    QTreeWidget* MailListView = nullptr;
    QSplitter* Splitter1 = nullptr;
    QPlainTextEdit* memo1 = nullptr;
    QWidget* Panel1 = nullptr;
    QPushButton* SpeedButton1 = nullptr;
    QPushButton* SpeedButton2 = nullptr;
    QProgressBar* ProgressBar5 = nullptr;
    QFrame* PopLED = nullptr;
    QLabel* LabeledEdit1Label = nullptr;
    QLineEdit* LabeledEdit1 = nullptr;
    UpDownArrows* UpDown2 = nullptr;
    QTimer* Timer1 = nullptr;
    QMenu* File1 = nullptr;
    QAction* mCreate = nullptr;
    QAction* mReply = nullptr;
    QAction* mSave = nullptr;
    QAction* mAttachment = nullptr;
    QAction* mDelete = nullptr;
    QAction* mSignIn = nullptr;
    QAction* writeini1 = nullptr;
    QAction* mExit = nullptr;
    QMenu* PopupMenu = nullptr;
    QAction* mPopupReply = nullptr;
    QAction* mPopupDelete = nullptr;
    QLabel* SignInLabel = nullptr;  // on the status bar, only when the settings use OAuth2
    // Opens the sign-in address (the desktop's browser; tests replace it).
    std::function<void(const std::string& url)> openUrl;

    TWriteForm* WriteForm = nullptr;
    TUniteForm* UniteForm = nullptr;

    Clock& clock() { return clock_; }
    Dialogs& dialogs() { return dialogs_; }
    std::string settingsPath() const;
    bool hasEnded() const { return closed_; }

    // The interval field as an integer; "'x' は整数ではありません" otherwise.
    int interval() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void sendFromWriteForm(std::function<bool()> send);
    void buildLayout();
    void buildMenus();
    void connectHandlers();
    void setLampLit(bool lit);

    Clock& clock_;
    Dialogs& dialogs_;
    std::unique_ptr<LineSink> memoSink_;
    LoginPacing loginPacing_;  // the server's pause between logins, for the timed polls
    bool activated_ = false;
    bool closed_ = false;
    // The failure the last timed poll showed in a box: the same one again is only logged.
    std::string timedFailureShown_;
};

}  // namespace korv
