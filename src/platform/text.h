// Text rules shared by the whole program.
#pragma once

#include <string>

namespace pvd {

// Removes spaces (only spaces: tabs and line breaks stay) at both ends.
inline std::string TrimSpaces(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace pvd
