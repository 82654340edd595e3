#include "format/VNFFieldNames.h"

#include <ctime>

namespace pvd::VNFFieldNames {
namespace {
std::string Format(TimePoint t, const char* pattern) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[64];
    return std::strftime(buf, sizeof buf, pattern, &tm) ? std::string(buf) : std::string();
}
}  // namespace

std::string FormatCreatedDate(TimePoint t) { return Format(t, "%d-%b-%Y"); }
std::string FormatCreatedTime(TimePoint t) { return Format(t, "%H:%M:%S"); }

}  // namespace pvd::VNFFieldNames
