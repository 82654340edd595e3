// The local time zone, as each platform's C library offers it. The clock's
// conversions (clock.cpp) are built on these two.
#pragma once

#include <ctime>
#include <string>

namespace pvd {

// The local calendar time of t.
std::tm LocalCalendar(std::time_t t);

// strftime of `local` (the local calendar time of t), with %z written as
// +hhmm on every platform; "" when it does not fit.
std::string FormatLocalCalendar(const std::tm& local, std::time_t t, const char* pattern);

}  // namespace pvd
