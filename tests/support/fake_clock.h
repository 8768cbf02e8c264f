#pragma once
#include <vector>

#include "platform/clock.h"

namespace korv::test {

// A clock that stands still until told; sleeps only advance it and are recorded.
class FakeClock : public Clock {
  public:
    explicit FakeClock(DateTime start = DateTime{2026, 12, 7, 9, 0, 0, 0}) : now_(start) {}
    DateTime now() override { return now_; }
    void sleep(int milliseconds) override;
    void reseed() override { ++reseeds; }
    int random(int bound) override;

    void set(DateTime t) { now_ = t; }
    void advanceMs(long long ms);

    std::vector<int> sleeps;
    int reseeds = 0;
    int nextRandom = 0;  // returned (modulo the bound) by random()

  private:
    DateTime now_;
};

}  // namespace korv::test
