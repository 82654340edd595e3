// The registry on Windows: the system's own, read through the wide API.
#include "platform/registry.h"

#include "platform/win32/registry_key.h"

namespace pvd {

bool ReadRawRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName, RegistryValue& out) {
    win32::RegistryKey key;
    if (key.Open(root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, keyPath) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
    if (key.Query(valueName, type, bytes) != ERROR_SUCCESS) return false;
    out.type = type;
    // Text is stored as UTF-16; the program reads UTF-8.
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    out.bytes = text ? win32::Utf16BytesToUtf8(bytes) : std::move(bytes);
    return true;
}

std::string RegistryLocation(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string RegistryLocationSource(RegistryRoot) { return "the system registry"; }

}  // namespace pvd
