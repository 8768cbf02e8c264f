#pragma once
// Local time, waits and randomness behind one interface, so that tests can cross midnight, fix
// time stamps and skip real waits.
#include <atomic>
#include <cstdint>
#include <random>
#include <string>

namespace korv {

struct DateTime {
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual DateTime now() = 0;
    virtual void sleep(int milliseconds) = 0;
    virtual void reseed() = 0;
    // A whole number from 0 to bound - 1.
    virtual int random(int bound) = 0;
};

class SystemClock : public Clock {
  public:
    DateTime now() override;
    void sleep(int milliseconds) override;
    void reseed() override;
    int random(int bound) override;

  private:
    std::mt19937 rng_{std::random_device{}()};
};

// Set when the process is asked to stop (the resident poller's SIGTERM or SIGINT): from then on
// a network wait ends within about a second instead of at its time-out. A signal handler may set
// it.
std::atomic<bool>& stopRequested();

// "yyyy-mm-dd hh:nn:ss"
std::string formatTimestamp(const DateTime& t);
// "yyyymmdd"
std::string formatDayName(const DateTime& t);
// Seconds since the epoch for a local time (for file times).
std::int64_t toEpochSeconds(const DateTime& t);

}  // namespace korv
