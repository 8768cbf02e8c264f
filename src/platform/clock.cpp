#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

namespace korv {
namespace {
std::atomic<bool> stopFlag{false};
}

std::atomic<bool>& stopRequested() { return stopFlag; }

DateTime SystemClock::now() {
    auto tp = std::chrono::system_clock::now();
    auto secs = std::chrono::system_clock::to_time_t(tp);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()) % 1000;
    std::tm tm{};
    localtime_r(&secs, &tm);
    return DateTime{
        tm.tm_year + 1900,           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
        static_cast<int>(ms.count())};
}

void SystemClock::sleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SystemClock::reseed() {
    rng_.seed(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
}

int SystemClock::random(int bound) {
    if (bound <= 0) return 0;
    return std::uniform_int_distribution<int>(0, bound - 1)(rng_);
}

std::string formatTimestamp(const DateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

std::string formatDayName(const DateTime& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.year, t.month, t.day);
    return buf;
}

std::int64_t toEpochSeconds(const DateTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

}  // namespace korv
