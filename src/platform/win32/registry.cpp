// The registry on Windows: the system's own, read through the wide API.
#include "platform/registry.h"

#include "platform/win32/registry_key.h"

namespace pvd {

// A machine value is looked for in the 64-bit view first, then in the 32-bit
// view, where 32-bit installers and tools left theirs. The user's values
// are not split by view.
std::vector<std::string> RegistryViews(RegistryRoot root) {
    if (root == RegistryRoot::LocalMachine) return {"64-bit view", "32-bit view"};
    return {""};
}

bool ReadRawRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName, RegistryValue& out,
                          std::size_t view) {
    if (view >= RegistryViews(root).size()) return false;
    const REGSAM sam = root == RegistryRoot::LocalMachine ? (view == 0 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY) : 0;
    win32::RegistryKey key;
    if (key.Open(root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, keyPath, sam) != ERROR_SUCCESS)
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
