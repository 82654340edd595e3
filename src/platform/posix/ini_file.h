// A plain INI file as the settings store keeps it: sections and keys matched
// without regard to letter case, the first of duplicate keys wins, every
// other line (and a UTF-8 byte-order mark) kept byte for byte on a write.
#pragma once

#include <optional>
#include <string>

namespace pvd {

// The value of section/key in the file, or nothing; nothing also when the
// file cannot be read completely. The file is parsed again only when its
// identity has changed since the last parse.
std::optional<std::string> ReadIniValue(const std::string& file, const std::string& section, const std::string& key);
// The same lookup on text already in memory.
std::optional<std::string> FindIniValue(const std::string& text, const std::string& section, const std::string& key);

// Writes section/key = value atomically (a temporary file renamed over the
// old one, or over the file a link leads to), creating the folder (0700) and
// the file (0600) when needed. False, with the reason in `error` when one is
// asked for, when the value cannot be stored (a line break in it, an
// unwritable folder) or the file did not read cleanly (unreadable, too large,
// not a regular file): such a file is never replaced.
bool WriteIniValue(const std::string& file, const std::string& section, const std::string& key, const std::string& value,
                   std::string* error = nullptr);

}  // namespace pvd
