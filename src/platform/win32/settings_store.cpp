// The settings store on Windows: HKEY_CURRENT_USER\Software\VB and VBA
// Program Settings\<application>\<section>, one REG_SZ value per key, where
// the settings functions of the other programs of this family keep theirs.
#include "platform/settings_store.h"

#include "platform/win32/registry_key.h"
#include "platform/win32/text_encoding.h"

namespace pvd {
namespace {

constexpr const char* kSettingsRoot = "Software\\VB and VBA Program Settings\\";

bool Usable(const std::string& name) { return !name.empty() && name.find('\\') == std::string::npos; }

}  // namespace

std::string SettingsStoreLocation(const std::string& app) {
    return Usable(app) ? "HKEY_CURRENT_USER\\" + std::string(kSettingsRoot) + app : std::string();
}

std::optional<std::string> ReadStoredSetting(const std::string& app, const std::string& section, const std::string& key,
                                             std::string* notText) {
    if (!Usable(app) || !Usable(section)) return std::nullopt;
    win32::RegistryKey k;
    if (k.Open(HKEY_CURRENT_USER, kSettingsRoot + app + "\\" + section) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0;
    std::vector<std::uint8_t> bytes;
    if (k.Query(key, type, bytes) != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        if (notText) *notText = "a registry value of type " + std::to_string(type);
        return std::nullopt;
    }
    auto text = win32::Utf16BytesToUtf8(bytes);
    // The closing NULs are the string's end; one inside is the reader's to judge.
    while (!text.empty() && text.back() == 0) text.pop_back();
    return std::string(text.begin(), text.end());
}

bool WriteStoredSetting(const std::string& app, const std::string& section, const std::string& key, const std::string& value,
                        std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (!Usable(app) || !Usable(section)) return fail("No settings store for the application name \"" + app + "\"");
    if (key.empty()) return fail("No setting name");
    win32::RegistryKey k;
    const std::string path = kSettingsRoot + app + "\\" + section;
    if (LONG r = k.Create(HKEY_CURRENT_USER, path); r != ERROR_SUCCESS)
        return fail("Cannot open HKEY_CURRENT_USER\\" + path + ": " + win32::ErrorText(static_cast<DWORD>(r)));
    // A value that is there but is no text could not be read: it is left as
    // it is, never written over.
    DWORD type = 0;
    std::vector<std::uint8_t> old;
    if (LONG r = k.Query(key, type, old); r != ERROR_FILE_NOT_FOUND && (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)))
        return fail("Cannot store " + key + " in HKEY_CURRENT_USER\\" + path + ": " +
                    (r != ERROR_SUCCESS ? win32::ErrorText(static_cast<DWORD>(r)) : std::string("it holds a value that is not text")));
    if (LONG r = k.SetText(key, value); r != ERROR_SUCCESS)
        return fail("Cannot store " + key + " in HKEY_CURRENT_USER\\" + path + ": " + win32::ErrorText(static_cast<DWORD>(r)));
    return true;
}

}  // namespace pvd
