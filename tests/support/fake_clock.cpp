#include "fake_clock.h"

#include <ctime>

namespace korv::test {

void FakeClock::sleep(int milliseconds) {
    sleeps.push_back(milliseconds);
    advanceMs(milliseconds);
}

int FakeClock::random(int bound) { return bound > 0 ? nextRandom % bound : 0; }

void FakeClock::advanceMs(long long ms) {
    long long total = now_.millisecond + ms;
    std::tm tm{};
    tm.tm_year = now_.year - 1900;
    tm.tm_mon = now_.month - 1;
    tm.tm_mday = now_.day;
    tm.tm_hour = now_.hour;
    tm.tm_min = now_.minute;
    tm.tm_sec = now_.second + static_cast<int>(total / 1000);
    timegm(&tm);  // normalises the fields without any time zone
    now_ = DateTime{tm.tm_year + 1900,
                    tm.tm_mon + 1,
                    tm.tm_mday,
                    tm.tm_hour,
                    tm.tm_min,
                    tm.tm_sec,
                    static_cast<int>(total % 1000)};
}

}  // namespace korv::test
