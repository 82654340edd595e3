// The clock seam: production reads the system clock, tests inject a fixed time.
#pragma once

#include <chrono>
#include <string>

namespace pvd {

using TimePoint = std::chrono::system_clock::time_point;

struct LocalTime {
    int year = 1970, month = 1, day = 1;  // month 1..12
    int hour = 0, minute = 0, second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

Clock& SystemClock();

// Conversions in the local time zone.
LocalTime ToLocalTime(TimePoint t);
TimePoint FromLocalTime(const LocalTime& t);
// The time in the local time zone as a strftime pattern writes it, with the
// locale's names; "" when it does not fit.
std::string FormatLocalTime(TimePoint t, const char* pattern);

class FixedClock final : public Clock {
public:
    explicit FixedClock(TimePoint t) : t_(t) {}
    explicit FixedClock(const LocalTime& t) : t_(FromLocalTime(t)) {}
    TimePoint now() const override { return t_; }
    void set(TimePoint t) { t_ = t; }

private:
    TimePoint t_;
};

}  // namespace pvd
