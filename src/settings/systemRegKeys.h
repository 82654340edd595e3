// The per-user settings store: application name, current profile, reads,
// writes, the profile file and the verbose-log switch.
#pragma once

#include <optional>
#include <string>

#include "platform/clock.h"

namespace pvd {

inline constexpr const char* kDefaultsSection = "Defaults";
inline constexpr const char* kApplicationName = "Vantora Recorder";

void SetSettingsAppName(const std::string& name);
std::string GetSettingsAppName();
std::string GetCurrentProfile();
bool SetCurrentProfile(const std::string& name);
// Puts the process-wide names back to their start values (tests).
void ResetSettingsState();

// Where the settings store of the application name lives.
std::string SettingsFileName();
// The stored value of section/key, or nothing. A stored value that cannot
// be used (not text, a NUL before its end) is noted once and is nothing.
std::optional<std::string> ReadSetting(const std::string& section, const std::string& key);

std::string GetDefaultSetting(const std::string& key, const std::string& defaultValue);
std::string GetDefaultSetting(const std::string& key, long long defaultValue);
std::string GetProfileSetting(const std::string& key, const std::string& defaultValue);
// False, with the reason in `error` when one is asked for, when the value
// could not be written; a settings file that did not read cleanly (unreadable,
// too large, not a regular file) is never written.
bool SaveDefaultSetting(const std::string& key, const std::string& value, std::string* error = nullptr);
bool SaveDefaultSetting(const std::string& key, TimePoint value, std::string* error = nullptr);

std::string GetProfilePathFilename();
// The policy VerboseLog when it is set; otherwise the setting "VerboseLog",
// for 30 days from the first check. saveError, when asked for, says why
// "VerboseLogDate" could not be stored ("" when it was stored or did not
// need to be).
bool IsVerboseLogOn(const Clock& clock = SystemClock(), std::string* saveError = nullptr);

// Start-up's settings steps: the application name, then the profile taken
// from the profile file's base name. Returns that name.
std::string SelectSettingsProfile();

// Dates in the store: "yyyy-mm-dd hh:mm:ss", local time.
std::string FormatSettingsDate(TimePoint t);
bool ParseSettingsDate(const std::string& text, TimePoint& out);

}  // namespace pvd
