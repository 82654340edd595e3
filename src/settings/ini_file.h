// A plain INI file as the settings store keeps it: sections and keys matched
// without regard to letter case, the first of duplicate keys wins, every
// other line kept byte for byte on a write.
#pragma once

#include <optional>
#include <string>

namespace pvd {

// The value of section/key in the file, or nothing.
std::optional<std::string> ReadIniValue(const std::string& file, const std::string& section, const std::string& key);
// The same lookup on text already in memory.
std::optional<std::string> FindIniValue(const std::string& text, const std::string& section, const std::string& key);

// Writes section/key = value atomically (a temporary file renamed over the
// old one), creating the folder and the file when needed. False when the
// value cannot be stored (a line break in it, an unwritable folder).
bool WriteIniValue(const std::string& file, const std::string& section, const std::string& key, const std::string& value);

}  // namespace pvd
