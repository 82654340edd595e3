// The per-user settings store of an application: values by section and key.
// On POSIX an INI file per application; on Windows the registry key where the
// settings functions of the program's family keep them.
#pragma once

#include <optional>
#include <string>

namespace pvd {

// Where the application's settings live (a file, or a registry key); "" when
// the name cannot name a store.
std::string SettingsStoreLocation(const std::string& app);

// The stored value, every character kept (a NUL inside too), or nothing;
// nothing also when the store cannot be read. A value stored as something
// other than text is nothing, with its kind in `notText` when asked for.
std::optional<std::string> ReadStoredSetting(const std::string& app, const std::string& section, const std::string& key,
                                             std::string* notText = nullptr);

// Stores section/key = value. False, with the reason in `error` when one is
// asked for, when it could not be stored; a store that did not read cleanly
// is never written over.
bool WriteStoredSetting(const std::string& app, const std::string& section, const std::string& key, const std::string& value,
                        std::string* error = nullptr);

}  // namespace pvd
