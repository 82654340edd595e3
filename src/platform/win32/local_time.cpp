// Local time through the C runtime's secure conversions.
#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace pvd {

LocalTime ToLocalTime(TimePoint t) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_s(&tm, &tt);
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
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_s(&tm, &tt);
    std::string p = pattern;
    // The C runtime's %z writes the zone's name; the journal needs +hhmm.
    if (auto z = p.find("%z"); z != std::string::npos) {
        // The local time read as if it were UTC, less the real UTC time.
        std::tm copy = tm;
        const long east = static_cast<long>(_mkgmtime(&copy) - tt) / 60;
        char off[8];
        std::snprintf(off, sizeof off, "%c%02ld%02ld", east < 0 ? '-' : '+', (east < 0 ? -east : east) / 60,
                      (east < 0 ? -east : east) % 60);
        p.replace(z, 2, off);
    }
    char buf[128];
    return std::strftime(buf, sizeof buf, p.c_str(), &tm) ? std::string(buf) : std::string();
}

}  // namespace pvd
