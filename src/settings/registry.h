// Registry values as the program reads them: converted by their stored type,
// with a fallback when a value is missing or unusable.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/registry.h"
#include "platform/special_folders.h"

namespace pvd {

// Empty (no value), text, 32-bit integer, or bytes.
using RegistryResult = std::variant<std::monostate, std::string, std::int32_t, std::vector<std::uint8_t>>;

// A stored value as its type reads: text (up to its first NUL), integer or
// bytes; the fallback for types that are not read and data too short for
// its type.
RegistryResult ConvertRegistryValue(const RegistryValue& value, const RegistryResult& fallback);

// Reads one value, converted by its type; the fallback when the key, the
// value or the store is missing or unusable. A change takes effect at the
// next read.
RegistryResult ReadRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                                 const RegistryResult& fallback = {});

// The value as text, "" when it is missing or not text.
std::string ReadRegistryText(RegistryRoot root, const std::string& keyPath, const std::string& valueName);

std::string ExpandUserNamePlaceholder(const std::string& path);
std::string GetFileBaseName(const std::string& path);
std::string GetFileName(const std::string& path);

}  // namespace pvd
