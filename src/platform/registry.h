// Read-only registry values: the real registry on Windows; on POSIX, .reg
// files (machine values from the machine file only, user values from the user
// file only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pvd {

enum class RegistryRoot { CurrentUser, LocalMachine };

struct RegistryValue {
    std::uint32_t type = 0;           // REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7, ...
    std::vector<std::uint8_t> bytes;  // as the registry holds them, text in UTF-8
};

// The views a root's values are read from, in order: on Windows the
// machine's 64-bit view, then its 32-bit view (WOW6432Node, where 32-bit
// installers left their values); one view everywhere else. Each is named
// for --paths; a root with one view names it "".
std::vector<std::string> RegistryViews(RegistryRoot root);

// The stored value in one view (an index into RegistryViews), as it is
// stored; false when the key or the value is missing or cannot be read.
bool ReadRawRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName, RegistryValue& out,
                          std::size_t view = 0);

// Where a root's values come from, and what chose that place (for --paths).
std::string RegistryLocation(RegistryRoot root);
std::string RegistryLocationSource(RegistryRoot root);

}  // namespace pvd
