// Read-only registry values, served on POSIX from .reg files: machine values
// from the machine file only, user values from the user file only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pvd {

enum class RegistryRoot { CurrentUser, LocalMachine };

// Empty (no value), text, 32-bit integer, or bytes.
using RegistryResult = std::variant<std::monostate, std::string, std::int32_t, std::vector<std::uint8_t>>;

struct RegistryValue {
    std::uint32_t type = 0;           // REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7, ...
    std::vector<std::uint8_t> bytes;  // as the registry would hold them, text in UTF-8
};

// key path (upper case, root spelled out) -> value name (upper case, "" for @) -> value
using RegistryData = std::map<std::string, std::map<std::string, RegistryValue>>;

// Parses the text of a .reg file (UTF-8 or UTF-16LE with BOM). Malformed
// lines are skipped; later definitions of a value replace earlier ones.
RegistryData ParseRegFile(std::string_view bytes);

// A stored value as its type reads: text (up to its first NUL), integer or
// bytes; the fallback for types that are not read and data too short for
// its type.
RegistryResult ConvertRegistryValue(const RegistryValue& value, const RegistryResult& fallback);

// Where the two registry files live.
std::string MachineRegistryFile();  // $VANTORA_MACHINE_REGISTRY or /etc/vantora/registry.reg
std::string UserRegistryFile();     // ${XDG_CONFIG_HOME:-$HOME/.config}/vantora/registry.reg

// Reads one value from the root's file, converted by its type; the fallback
// when the key, the value or the file is missing or unusable. The file is
// parsed again only when its identity has changed since the last parse, so
// a change takes effect at the next read.
RegistryResult ReadRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                                 const RegistryResult& fallback = {});

// The value as text, "" when it is missing or not text.
std::string ReadRegistryText(RegistryRoot root, const std::string& keyPath, const std::string& valueName);

// Special folders: 5 = documents, 40 = user profile; "" for others or when unknown.
std::string GetSpecialFolder(int csidl);
std::string ExpandUserNamePlaceholder(const std::string& path);
std::string GetFileBaseName(const std::string& path);
std::string GetFileName(const std::string& path);

}  // namespace pvd
