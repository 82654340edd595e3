#include "settings/systemRegKeys.h"

#include <charconv>
#include <cstdio>

#include "fileutil/FileFunctions.h"
#include "platform/environment.h"
#include "platform/settings_store.h"
#include "platform/text.h"
#include "settings/EnvironmentFunction.h"
#include "settings/policy.h"
#include "settings/registry.h"

namespace pvd {
namespace {

std::string g_appName;
std::string g_currentProfile;

// A whole number or decimal in the text, read without regard to the locale.
bool ParseNumber(const std::string& text, double& out) {
    std::string t = TrimSpaces(text);
    if (t.empty()) return false;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && end == t.data() + t.size();
}

std::string Read(const std::string& section, const std::string& key, const std::string& defaultValue) {
    auto v = ReadSetting(section, key);
    return TrimSpaces(v ? *v : defaultValue);
}

}  // namespace

void SetSettingsAppName(const std::string& name) { g_appName = name; }

std::string GetSettingsAppName() { return g_appName.empty() ? ExecutableBaseName() : g_appName; }

std::string GetCurrentProfile() {
    if (g_currentProfile.empty()) g_currentProfile = kDefaultsSection;
    return g_currentProfile;
}

bool SetCurrentProfile(const std::string& name) {
    if (name.empty()) return false;
    g_currentProfile = name;
    return true;
}

void ResetSettingsState() {
    g_appName.clear();
    g_currentProfile.clear();
    ForgetNotedValues();
}

std::string SettingsFileName() { return SettingsStoreLocation(GetSettingsAppName()); }

std::optional<std::string> ReadSetting(const std::string& section, const std::string& key) {
    const std::string app = GetSettingsAppName();
    std::string problem;
    std::optional<std::string> v = ReadStoredSetting(app, section, key, &problem);
    if (v) {
        // Closing NULs end the text; one inside would cut a path short.
        while (!v->empty() && v->back() == '\0') v->pop_back();
        problem = PathTextProblem(*v);
    } else if (!problem.empty()) {
        problem = "it is not text (" + problem + ")";
    }
    const std::string what = "setting [" + section + "] " + key + " in " + SettingsStoreLocation(app);
    if (!problem.empty()) {
        NoteUnusableValue(what, problem);
        return std::nullopt;
    }
    NoteUsableValue(what);
    return v;
}

std::string GetDefaultSetting(const std::string& key, const std::string& defaultValue) {
    return Read(kDefaultsSection, key, defaultValue);
}

std::string GetDefaultSetting(const std::string& key, long long defaultValue) {
    return GetDefaultSetting(key, std::to_string(defaultValue));
}

std::string GetProfileSetting(const std::string& key, const std::string& defaultValue) {
    return Read(GetCurrentProfile(), key, defaultValue);
}

bool SaveDefaultSetting(const std::string& key, const std::string& value, std::string* error) {
    return WriteStoredSetting(GetSettingsAppName(), kDefaultsSection, key, value, error);
}

bool SaveDefaultSetting(const std::string& key, TimePoint value, std::string* error) {
    return SaveDefaultSetting(key, FormatSettingsDate(value), error);
}

std::string GetProfilePathFilename() {
    const std::string k = GetProductKeyName();
    const std::string d = GetProfileFolder(k) + kPathSeparator + "recorder.pfl";
    std::string s = GetDefaultSetting("ProfilePathFilename", d);
    if (ProfileFolderOverrideExists(k)) s = GetProfileFolder(k) + kPathSeparator + GetFileName(s);
    return ResolveMappedDrive(s, false);
}

bool IsVerboseLogOn(const Clock& clock, std::string* saveError) {
    if (saveError) saveError->clear();
    // An administrator's switch holds as long as the policy is set: no
    // 30-day window, and nothing stored.
    if (std::optional<bool> policy = GetPolicyVerboseLog()) return *policy;
    double stamp = 0;
    if (ParseNumber(GetDefaultSetting("VerboseLogDate", 0), stamp) && stamp == 0)
        SaveDefaultSetting("VerboseLogDate", clock.now() + std::chrono::days(30), saveError);
    TimePoint expiry;
    if (!ParseSettingsDate(GetDefaultSetting("VerboseLogDate", 0), expiry)) return false;
    double verbose = 0;
    if (!ParseNumber(GetDefaultSetting("VerboseLog", 0), verbose)) return false;
    return verbose != 0 && expiry > clock.now();
}

std::string SelectSettingsProfile() {
    SetSettingsAppName(kApplicationName);
    const std::string name = GetFileBaseName(GetProfilePathFilename());
    SetCurrentProfile(name);
    return name;
}

std::string FormatSettingsDate(TimePoint t) {
    LocalTime l = ToLocalTime(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", l.year, l.month, l.day, l.hour, l.minute, l.second);
    return buf;
}

bool ParseSettingsDate(const std::string& text, TimePoint& out) {
    LocalTime l;
    char extra = 0;
    std::string t = TrimSpaces(text);
    int n = std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &l.year, &l.month, &l.day, &l.hour, &l.minute, &l.second, &extra);
    if (n != 6 && n != 3) return false;
    if (n == 3 && t.size() != 10) return false;
    if (l.month < 1 || l.month > 12 || l.day < 1 || l.day > 31 || l.hour > 23 || l.minute > 59 || l.second > 60 || l.hour < 0 ||
        l.minute < 0 || l.second < 0)
        return false;
    out = FromLocalTime(l);
    return true;
}

}  // namespace pvd
