// The poll controls of the main window: manual and automatic polls, the countdown and the lamp.
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "app/qt_text.h"
#include "app/tform1.h"
#include "gallery/hand_off.h"
#include "polling/poll.h"

namespace korv {

int TForm1::interval() const { return parseInteger(fromQ(LabeledEdit1->text())); }

void TForm1::SpeedButton1Click() {
    SpeedButton2->setChecked(false);
    PollWithLed();
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
    // The timer runs again after every timed poll, also after an error; its next tick comes a
    // full period later.
    struct Restart {
        TForm1* form;
        ~Restart() { form->Timer1->start(); }
    } restart{this};
    try {
        Countdown = interval();
    } catch (...) {
        // Without a valid interval there is no schedule: automatic polling goes off visibly
        // instead of staying down with nothing running.
        SpeedButton2->setChecked(false);
        throw;
    }
    PollWithLed();
    ProgressBar5->setValue(Countdown);
}

void TForm1::PollWithLed() {
    setLampLit(true);
    PopLED->repaint();  // the thread stays busy for the whole poll
    struct LampOff {
        TForm1* form;
        ~LampOff() {
            form->setLampLit(false);
            form->PopLED->repaint();
        }
    } lampOff{this};
    HandOffSettings handOffSettings{DefaultImg, settings.SessionDB};
    PollContext ctx{settings, AccountFolder, *status, clock_,
                    [&](const std::string& folder, const std::string& subject,
                        const std::string& date, const std::string& from, const std::string& header,
                        const std::string& body, const std::string& attachments) {
                        HandOffImage(handOffSettings, *status, clock_, folder, subject, date, from,
                                     header, body, attachments);
                    }};
    PollMailbox(ctx);
}

}  // namespace korv
