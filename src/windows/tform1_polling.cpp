// The poll controls of the main window: manual and automatic polls, the countdown and the lamp.
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "gallery/gallery_hand_off.h"
#include "platform/text.h"
#include "windows/qt_text.h"
#include "windows/tform1.h"

namespace korv {

int TForm1::interval() const { return parseInteger(fromQ(LabeledEdit1->text())); }

namespace {

bool failed(const PollResult& result) {
    return result.outcome == PollOutcome::Unreachable ||
           result.outcome == PollOutcome::NotConnected ||
           result.outcome == PollOutcome::LoginRefused || result.outcome == PollOutcome::TryLater ||
           result.outcome == PollOutcome::ServerFault;
}

}  // namespace

void TForm1::SpeedButton1Click() {
    SpeedButton2->setChecked(false);
    PollResult result = PollWithLed();
    if (failed(result)) dialogs_.errorBox(this, result.reason);
}

void TForm1::SpeedButton2Click() {
    int value = interval();
    Countdown = value;
    ProgressBar5->setValue(Countdown);
}

void TForm1::LabeledEdit1Change() {
    int value = interval();
    Countdown = value;
    ProgressBar5->setMaximum(Countdown);
}

void TForm1::Timer1Timer() {
    if (!SpeedButton2->isChecked()) return;
    --Countdown;
    ProgressBar5->setValue(Countdown);
    if (Countdown >= 1) return;
    Timer1->stop();
    try {
        Countdown = interval();
    } catch (...) {
        // Without a valid interval there is no schedule: automatic polling goes off visibly
        // instead of staying down with nothing running.
        SpeedButton2->setChecked(false);
        Timer1->start();
        throw;
    }
    // A server that asks for a pause between logins is not asked before it is over: the
    // countdown runs on to that moment instead.
    if (int wait = loginPacing_.secondsLeft(clock_); wait > 0) {
        Countdown = std::min(Countdown, wait);
        Timer1->start();
        ProgressBar5->setValue(Countdown);
        return;
    }
    // The timer runs again after every timed poll, also after an error, but only once its box
    // is closed: boxes of timed polls never pile up. Its next tick comes a full period later.
    try {
        // A server that stays away would otherwise bring the same box after every interval.
        PollResult result = PollWithLed();
        if (!failed(result)) {
            timedFailureShown_.clear();
        } else if (result.reason != timedFailureShown_) {
            timedFailureShown_ = result.reason;
            dialogs_.errorBox(this, result.reason);
        }
    } catch (const std::exception& e) {
        showStandardError(dialogs_, this, e);
    } catch (...) {
        showUnknownError(dialogs_, this);
    }
    Timer1->start();
    ProgressBar5->setValue(Countdown);
}

PollResult TForm1::PollWithLed() {
    setLampLit(true);
    PopLED->repaint();  // the thread stays busy for the whole poll
    struct LampOff {
        TForm1* form;
        ~LampOff() {
            form->setLampLit(false);
            form->PopLED->repaint();
        }
    } lampOff{this};
    GalleryHandOff handOff({DefaultImg, settings.SessionDB}, *status, clock_);
    PollContext ctx{settings, AccountFolder, *status, clock_, &handOff};
    ctx.pacing = &loginPacing_;
    return PollMailbox(ctx);
}

}  // namespace korv
