// An open registry key, closed when it goes out of scope.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pvd::win32 {

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens root\path for reading, in the given view of the machine's keys
    // (KEY_WOW64_64KEY or KEY_WOW64_32KEY; 0: the process's own); the error
    // code of the open otherwise.
    LONG Open(HKEY root, const std::string& path, REGSAM view = 0);
    // Opens root\path for writing, creating the missing keys.
    LONG Create(HKEY root, const std::string& path);
    // The value's type and bytes as stored, read whatever its size.
    LONG Query(const std::string& name, DWORD& type, std::vector<std::uint8_t>& bytes) const;
    LONG SetText(const std::string& name, const std::string& value) const;

private:
    HKEY key_ = nullptr;
};

// A text value's UTF-16LE bytes as UTF-8, every NUL kept (an odd last byte
// cannot be a character and is dropped).
std::vector<std::uint8_t> Utf16BytesToUtf8(const std::vector<std::uint8_t>& bytes);

}  // namespace pvd::win32
