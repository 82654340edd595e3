#pragma once

// The machine values a test gives the program on Windows, where they live in
// the real registry (HKEY_LOCAL_MACHINE of the Wine prefix) rather than in a
// registry file. Tests that use them must not run beside each other.
#include <windows.h>

#include <optional>
#include <string>

#include "platform/win32/text_encoding.h"

namespace pvd::test {

// Sets a REG_SZ value under HKEY_LOCAL_MACHINE, or removes it (nullopt); in
// the 32-bit view with view KEY_WOW64_32KEY.
inline bool SetMachineValue(const std::string& key, const std::string& name, const std::optional<std::string>& value,
                            REGSAM view = 0) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, win32::Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG r;
    if (value) {
        const std::wstring w = win32::Wide(*value);
        r = RegSetValueExW(k, win32::Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(w.c_str()),
                           static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
    } else {
        r = RegDeleteValueW(k, win32::Wide(name).c_str());
        if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;
    }
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

// Sets a value with the given type and its bytes exactly as the registry is
// to hold them (text as UTF-16LE, with or without its closing NUL), as
// another program or an administrator might have left it.
inline bool SetRawValue(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& bytes,
                        REGSAM view = 0) {
    HKEY k = nullptr;
    if (RegCreateKeyExW(root, win32::Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG r = RegSetValueExW(k, win32::Wide(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                  static_cast<DWORD>(bytes.size()));
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}
inline bool SetMachineData(const std::string& key, const std::string& name, DWORD type, const std::string& bytes,
                           REGSAM view = 0) {
    return SetRawValue(HKEY_LOCAL_MACHINE, key, name, type, bytes, view);
}
inline bool SetUserData(const std::string& key, const std::string& name, DWORD type, const std::string& bytes) {
    return SetRawValue(HKEY_CURRENT_USER, key, name, type, bytes);
}

// Removes a key under HKEY_LOCAL_MACHINE with everything in it.
inline void RemoveMachineKey(const std::string& key) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Wide(key).c_str()); }

}  // namespace pvd::test
