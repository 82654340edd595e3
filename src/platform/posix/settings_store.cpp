// The settings store on POSIX: an INI file per application,
// ${XDG_CONFIG_HOME:-$HOME/.config}/<application>/settings.ini.
#include "platform/settings_store.h"

#include "platform/environment.h"
#include "platform/posix/ini_file.h"

namespace pvd {

std::string SettingsStoreLocation(const std::string& app) {
    const std::string config = UserConfigFolder();
    // An application name is one folder name; anything else has no store.
    if (config.empty() || app.empty() || app == "." || app == ".." || app.find('/') != std::string::npos) return {};
    return config + "/" + app + "/settings.ini";
}

// An INI file holds only text.
std::optional<std::string> ReadStoredSetting(const std::string& app, const std::string& section, const std::string& key,
                                             std::string*) {
    return ReadIniValue(SettingsStoreLocation(app), section, key);
}

bool WriteStoredSetting(const std::string& app, const std::string& section, const std::string& key, const std::string& value,
                        std::string* error) {
    return WriteIniValue(SettingsStoreLocation(app), section, key, value, error);
}

}  // namespace pvd
