// The libraries take UTF-8 paths; the wide-character Win32 API takes UTF-16.
#pragma once

#include <windows.h>

#include <string>

namespace vnf_libs {

inline std::wstring Wide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

}  // namespace vnf_libs
