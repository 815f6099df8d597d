// The clock every module sees through the system-call table: tests move it
// instead of waiting, and sleep advances it instead of sleeping.
#ifndef YQTEST_CLOCK_H
#define YQTEST_CLOCK_H

#include <sys/time.h>

#include <ctime>

#include "yq_sys.h"

namespace yqtest {

// Installs the fake clock for its lifetime (the table is reset afterwards).
// One clock at a time: its state is process-wide, as the table is.
class FakeClock {
public:
    explicit FakeClock(time_t start = 1000000, long micros = 0) noexcept {
        seconds = start;
        microseconds = micros;
        sleeps = 0;
        yq::sys::table.time = time;
        yq::sys::table.gettimeofday = gettimeofday;
        yq::sys::table.sleep = sleep;
    }
    ~FakeClock() {
        yq::sys::reset();
    }
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;

    void advance(time_t by) noexcept { seconds += by; }
    void set(time_t to, long micros = 0) noexcept {
        seconds = to;
        microseconds = micros;
    }

    static inline time_t seconds = 0;
    static inline long microseconds = 0;
    static inline int sleeps = 0;      // calls of sleep()

private:
    static time_t time(time_t *t) {
        if (t != nullptr) *t = seconds;
        return seconds;
    }
    static int gettimeofday(struct timeval *tv, void *) {
        tv->tv_sec = seconds;
        tv->tv_usec = static_cast<suseconds_t>(microseconds);
        return 0;
    }
    static unsigned sleep(unsigned s) {
        ++sleeps;
        seconds += static_cast<time_t>(s);
        return 0;
    }
};

// Local time of the given calendar fields.
inline time_t local_time_at(int year, int mon, int mday, int hour, int min, int sec) {
    struct tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

}  // namespace yqtest

#endif
