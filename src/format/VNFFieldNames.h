// The field names every new dictation file carries, and the creation date and
// time formats.
#pragma once

#include <string>

#include "platform/clock.h"

namespace pvd::VNFFieldNames {

inline constexpr const char* D_Created = "D_Created";
inline constexpr const char* T_Created = "T_Created";
inline constexpr const char* F_Subject = "F_Subject";  // MRN
inline constexpr const char* F_Matter = "F_Matter";    // patient name
inline constexpr const char* F_DocName = "F_DocName";  // study description
inline constexpr const char* F_DocType = "F_DocType";  // accession number

// "dd-mmm-yyyy" with the locale's abbreviated month name.
std::string FormatCreatedDate(TimePoint t);
// "hh:mm:ss" on the 24-hour clock.
std::string FormatCreatedTime(TimePoint t);

}  // namespace pvd::VNFFieldNames
