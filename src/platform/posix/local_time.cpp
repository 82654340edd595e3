// Local time through the C library's reentrant conversion.
#include "platform/local_time.h"

namespace pvd {

std::tm LocalCalendar(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string FormatLocalCalendar(const std::tm& local, std::time_t, const char* pattern) {
    char buf[128];
    return std::strftime(buf, sizeof buf, pattern, &local) ? std::string(buf) : std::string();
}

}  // namespace pvd
