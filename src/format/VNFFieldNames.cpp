#include "format/VNFFieldNames.h"

namespace pvd::VNFFieldNames {

std::string FormatCreatedDate(TimePoint t) { return FormatLocalTime(t, "%d-%b-%Y"); }
std::string FormatCreatedTime(TimePoint t) { return FormatLocalTime(t, "%H:%M:%S"); }

}  // namespace pvd::VNFFieldNames
