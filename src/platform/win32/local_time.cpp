// Local time through the C runtime's secure conversion.
#include "platform/local_time.h"

#include <cstdio>

namespace pvd {

std::tm LocalCalendar(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

std::string FormatLocalCalendar(const std::tm& local, std::time_t t, const char* pattern) {
    std::string p = pattern;
    // The C runtime's %z writes the zone's name; the journal needs +hhmm.
    if (auto z = p.find("%z"); z != std::string::npos) {
        // The local time read as if it were UTC, less the real UTC time.
        std::tm copy = local;
        const long east = static_cast<long>(_mkgmtime(&copy) - t) / 60;
        char off[8];
        std::snprintf(off, sizeof off, "%c%02ld%02ld", east < 0 ? '-' : '+', (east < 0 ? -east : east) / 60,
                      (east < 0 ? -east : east) % 60);
        p.replace(z, 2, off);
    }
    char buf[128];
    return std::strftime(buf, sizeof buf, p.c_str(), &local) ? std::string(buf) : std::string();
}

}  // namespace pvd
