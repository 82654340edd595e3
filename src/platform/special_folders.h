// The user's special folders, by their CSIDL numbers.
#pragma once

#include <string>

namespace pvd {

// 5 = documents, 40 = user profile; no trailing separator (except at a drive
// root); "" for other numbers or when unknown.
std::string GetSpecialFolder(int csidl);

}  // namespace pvd
