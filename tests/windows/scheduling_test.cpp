// The automatic-poll state machine, driven tick by tick. Polls go to a port where nobody listens,
// so each one is a quick logged "接続失敗".
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QTimer>

#include "support/scripted_mailbox.h"
#include "window_fixture.h"

using namespace korv;
using namespace korv::test;

namespace {

struct Scheduling : ::testing::Test, WindowFixture {
    void SetUp() override { start(iniWith("127.0.0.1:" + std::to_string(closedPort()))); }
    int polls() {
        std::string log = logText();
        std::size_t n = 0;
        for (auto at = log.find("接続失敗"_cp); at != std::string::npos;
             at = log.find("接続失敗"_cp, at + 1))
            ++n;
        return static_cast<int>(n);
    }
    void setInterval(const char* text) { form->LabeledEdit1->setText(text); }
    void pressAutomatic() {
        form->SpeedButton2->click();  // toggles, then runs the handler
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) form->runHandler(&TForm1::Timer1Timer);
    }
};

}  // namespace

TEST_F(Scheduling, StartsAtThirtyAndPollsOnlyAfterTheIntervalsTicks) {
    EXPECT_EQ(form->Countdown, 30);
    EXPECT_EQ(form->ProgressBar5->maximum(), 30);
    setInterval("3");
    ticks(5);
    EXPECT_EQ(polls(), 0) << "no poll while automatic polling is off";
    pressAutomatic();
    EXPECT_TRUE(form->SpeedButton2->isChecked());
    EXPECT_EQ(polls(), 0) << "pressing does not poll at once";
    ticks(2);
    EXPECT_EQ(form->ProgressBar5->value(), 1);
    EXPECT_EQ(polls(), 0);
    ticks(1);
    EXPECT_EQ(polls(), 1);
    EXPECT_EQ(form->Countdown, 3);
    EXPECT_TRUE(form->Timer1->isActive());
    ticks(3);
    EXPECT_EQ(polls(), 2);
}

TEST_F(Scheduling, ReleaseResetsTheCountdownAndFillsTheBar) {
    setInterval("5");
    pressAutomatic();
    ticks(3);
    pressAutomatic();
    EXPECT_FALSE(form->SpeedButton2->isChecked());
    EXPECT_EQ(form->Countdown, 5);
    EXPECT_EQ(form->ProgressBar5->value(), 5);
    ticks(10);
    EXPECT_EQ(polls(), 0);
}

TEST_F(Scheduling, IntervalChangeRestartsTheCountdown) {
    setInterval("10");
    pressAutomatic();
    ticks(8);
    setInterval("4");
    EXPECT_EQ(form->Countdown, 4);
    EXPECT_EQ(form->ProgressBar5->maximum(), 4);
    ticks(3);
    EXPECT_EQ(polls(), 0);
    ticks(1);
    EXPECT_EQ(polls(), 1);
}

TEST_F(Scheduling, IntervalsOfOneZeroOrLessPollEveryTick) {
    for (const char* interval : {"1", "0", "-5"}) {
        int before = polls();
        setInterval(interval);
        if (!form->SpeedButton2->isChecked()) pressAutomatic();
        ticks(3);
        EXPECT_EQ(polls() - before, 3) << interval;
    }
}

TEST_F(Scheduling, ManualPollTurnsAutomaticOff) {
    setInterval("3");
    pressAutomatic();
    form->SpeedButton1->click();
    EXPECT_FALSE(form->SpeedButton2->isChecked());
    EXPECT_EQ(polls(), 1);
    ticks(5);
    EXPECT_EQ(polls(), 1);
}

TEST_F(Scheduling, NonIntegerIntervalIsReportedAndChangesNothing) {
    setInterval("20");
    pressAutomatic();
    ticks(2);
    setInterval("x");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, "error");
    EXPECT_EQ(dialogs.shown[0].text, "'x' は整数ではありません"_cp);
    EXPECT_EQ(form->Countdown, 18);
    EXPECT_EQ(form->ProgressBar5->maximum(), 20);
}

TEST_F(Scheduling, NonIntegerIntervalAtTheTimedPollStopsAutomaticPollingVisibly) {
    setInterval("2");
    pressAutomatic();
    setInterval("abc");
    ticks(2);
    EXPECT_EQ(polls(), 0);
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[1].text, "'abc' は整数ではありません"_cp);
    EXPECT_FALSE(form->SpeedButton2->isChecked());
    EXPECT_TRUE(form->Timer1->isActive());
}

TEST_F(Scheduling, TimedPollThatFailsStillEndsCleanly) {
    setInterval("1");
    pressAutomatic();
    // The day folder is a file: logging "接続失敗" fails inside the poll.
    clock.set(DateTime{2026, 12, 8, 10, 0, 0, 0});
    writeBytes(home.path() + "DefaultAccount/20261208", "in the way");
    // No further timed poll may start while the box is up, so boxes never pile up.
    bool timerWhileOpen = true;
    dialogs.whileBoxOpen = [&] { timerWhileOpen = form->Timer1->isActive(); };
    ticks(1);
    EXPECT_FALSE(timerWhileOpen);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find("20261208"), std::string::npos);
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->PopLED->palette().color(QPalette::Window),
              form->palette().color(QPalette::Button));
    EXPECT_TRUE(form->SpeedButton2->isChecked());
}

// A server that asks for a pause between logins (LOGIN-DELAY) is not polled again before it is
// over. The peer takes one connection: a second poll is a quick "接続失敗".
TEST_F(Scheduling, AServersPauseBetweenLoginsHoldsBackTheNextTimedPoll) {
    ShortTimeouts shortWaits;
    ScriptedPeer peer("+OK ready\r\n", [](const std::string& c) -> std::string {
        if (c == "CAPA") return "+OK\r\nLOGIN-DELAY 5\r\n.\r\n";
        return c == "STAT" ? "+OK 0 0\r\n" : "+OK\r\n";
    });
    start(iniWith(peer.address()) + "Pop3Security=none\r\n");
    setInterval("2");
    pressAutomatic();
    auto secondsPass = [&](int n) {
        for (int i = 0; i < n; ++i) {
            clock.advanceMs(1000);
            ticks(1);
        }
    };
    secondsPass(2);
    EXPECT_EQ(peer.commands().back(), "QUIT");
    secondsPass(4);
    EXPECT_EQ(polls(), 0) << "polled again within the server's 5 seconds";
    secondsPass(1);
    EXPECT_EQ(polls(), 1);
}
