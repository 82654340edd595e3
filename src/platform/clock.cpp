#include "platform/clock.h"

#include "platform/local_time.h"

namespace pvd {
namespace {
class RealClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
};
}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

LocalTime ToLocalTime(TimePoint t) {
    const std::tm tm = LocalCalendar(std::chrono::system_clock::to_time_t(t));
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

TimePoint FromLocalTime(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

std::string FormatLocalTime(TimePoint t, const char* pattern) {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    return FormatLocalCalendar(LocalCalendar(tt), tt, pattern);
}

}  // namespace pvd
