#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/environment.h"
#include "settings/systemRegKeys.h"
#include "test_support.h"
#ifdef _WIN32
#include "machine_registry.h"
#include "platform/special_folders.h"
#else
#include "platform/posix/ini_file.h"
#endif

namespace pvd::test {

// How a machine value's place is named: Windows says which registry view held it.
#ifdef _WIN32
inline const std::string kRegistryView = ", 64-bit view";
#else
inline const std::string kRegistryView;
#endif

// A path as the program spells it, with the platform's separator.
inline std::string NativePath(std::string path) {
    if (kPathSeparator != '/') std::replace(path.begin(), path.end(), '/', kPathSeparator);
    return path;
}

// A scratch home: settings, registry files, documents and temp all inside it,
// and the settings names as start-up sets them: the application name, and
// the profile from the default profile file (the section "recorder").
//
// Machine values and the user's settings go where the platform keeps them:
// on POSIX the machine registry file and the INI files inside the scratch
// home; on Windows the registry itself, which every process of the Wine
// prefix shares. There the fixture removes what it set, and the user's
// settings of the program, at the start and end of each test; tests that use
// it must carry LOCK machine-registry.
class ScratchHome : public testing::Test {
protected:
    TempDir dir;
    ScopedEnv env;

    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "home");
        env.set("HOME", dir / "home")
            .set("XDG_CONFIG_HOME", dir / "config")
            .set("XDG_STATE_HOME", dir / "state")
            .set("VANTORA_MACHINE_REGISTRY", dir / "machine.reg")
            .set("XDG_DOCUMENTS_DIR", std::nullopt)
            .set("APPDATA", std::nullopt)
            .set("USERPROFILE", std::nullopt)
            .set("VNPROFILE", std::nullopt)
            .set("VNFILES_PATH", std::nullopt)
            .set("TEMP", dir / "temp")
            .set("TMPDIR", std::nullopt);
        ResetSettingsState();
#ifdef _WIN32
        RemoveUserSettings(kApplicationName);
        RemoveUserSettings(ExecutableBaseName());
#endif
        SelectSettingsProfile();
    }
    void TearDown() override {
#ifdef _WIN32
        for (const auto& [key, name, view] : machineSet_) SetMachineValue(key, name, std::nullopt, ViewFlag(view));
        settingsApps_.insert({kApplicationName, GetSettingsAppName()});
        for (const std::string& app : settingsApps_) RemoveUserSettings(app);
#endif
        ResetSettingsState();
    }

    std::string Settings() const { return dir / "config/Vantora Recorder/settings.ini"; }
    void WriteSettings(std::string_view text) {
        std::filesystem::create_directories(dir.path() / "config" / "Vantora Recorder");
        WriteFile(Settings(), text);
    }
    // Sets a text value (REG_SZ) of HKEY_LOCAL_MACHINE\key, or removes it
    // (nullopt). On POSIX the machine file is written anew from the values
    // set this way. view 1 is the 32-bit view of Windows (POSIX has one
    // machine file: view 0).
    void PutMachineValue(const std::string& key, const std::string& name, const std::optional<std::string>& value,
                         std::size_t view = 0) {
#ifdef _WIN32
        ASSERT_TRUE(SetMachineValue(key, name, value, ViewFlag(view))) << key << " " << name;
        machineSet_.insert({key, name, view});
#else
        ASSERT_EQ(view, 0u);
        std::string line;
        if (value) {
            line = "\"" + name + "\"=\"";
            for (char c : *value) line += (c == '\\' || c == '"') ? std::string{'\\', c} : std::string{c};
            line += "\"";
        }
        PutMachineLine(key, name, line);
#endif
    }
    // Sets a value of HKEY_LOCAL_MACHINE\key of the given type with its bytes
    // exactly as the registry holds them (text as UTF-16LE).
    void PutMachineData(const std::string& key, const std::string& name, std::uint32_t type, const std::string& bytes,
                        std::size_t view = 0) {
#ifdef _WIN32
        ASSERT_TRUE(SetMachineData(key, name, type, bytes, ViewFlag(view))) << key << " " << name;
        machineSet_.insert({key, name, view});
#else
        ASSERT_EQ(view, 0u);
        char head[16];
        std::snprintf(head, sizeof head, type == 3 ? "hex:" : "hex(%x):", static_cast<unsigned>(type));
        std::string line = "\"" + name + "\"=" + head;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(bytes[i]));
            line += (i ? "," : "") + std::string(b);
        }
        PutMachineLine(key, name, line);
#endif
    }

    // Sets the user's setting [section] key of an application, as the
    // program's settings store keeps it; every other setting stays.
    void PutUserSetting(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& app = kApplicationName) {
#ifdef _WIN32
        settingsApps_.insert(app);
        const std::wstring w = win32::Wide(value);
        ASSERT_TRUE(SetUserData(UserSettingsKey(app) + "\\" + section, key, REG_SZ,
                                std::string(reinterpret_cast<const char*>(w.c_str()), (w.size() + 1) * sizeof(wchar_t))));
#else
        std::string error;
        ASSERT_TRUE(WriteIniValue(SettingsOf(app), section, key, value, &error)) << error;
#endif
    }
    // The user's setting [section] key of an application as stored; nothing
    // when it is not there (on Windows, nor when it is not a REG_SZ).
    std::optional<std::string> UserSetting(const std::string& section, const std::string& key,
                                           const std::string& app = kApplicationName) {
#ifdef _WIN32
        settingsApps_.insert(app);
        std::wstring w(32768, L'\0');  // the longest text a test stores, and more
        DWORD size = static_cast<DWORD>(w.size() * sizeof(wchar_t));
        if (RegGetValueW(HKEY_CURRENT_USER, win32::Wide(UserSettingsKey(app) + "\\" + section).c_str(), win32::Wide(key).c_str(),
                         RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, w.data(), &size) != ERROR_SUCCESS)
            return std::nullopt;
        return win32::Utf8(w.c_str());
#else
        return ReadIniValue(SettingsOf(app), section, key);
#endif
    }

    // The user's profile folder, documents folder, and the built-in
    // dictation root, as this platform places them for the scratch home.
#ifdef _WIN32
    std::string UserHome() const { return GetSpecialFolder(40); }
    std::string Documents() const { return GetSpecialFolder(5); }
    std::string BuiltInRoot() const { return "C:\\VnFiles"; }
#else
    std::string UserHome() const { return dir / "home"; }
    std::string Documents() const { return dir / "home/Documents"; }
    std::string BuiltInRoot() const { return dir / "home/VnFiles"; }
#endif

#ifdef _WIN32
    static std::string UserSettingsKey(const std::string& app) { return "Software\\VB and VBA Program Settings\\" + app; }
    // Removes every setting of an application.
    static void RemoveUserSettings(const std::string& app = kApplicationName) {
        if (!app.empty()) RegDeleteTreeW(HKEY_CURRENT_USER, win32::Wide(UserSettingsKey(app)).c_str());
    }
#endif

private:
#ifdef _WIN32
    static REGSAM ViewFlag(std::size_t view) { return view == 0 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }
    std::set<std::tuple<std::string, std::string, std::size_t>> machineSet_;
    std::set<std::string> settingsApps_;
#else
    std::string SettingsOf(const std::string& app) const { return dir / ("config/" + app + "/settings.ini"); }
    // One line per value ("" removes it), the file written anew.
    void PutMachineLine(const std::string& key, const std::string& name, const std::string& line) {
        auto& values = machineLines_[key];
        std::erase_if(values, [&](const auto& v) { return v.first == name; });
        if (!line.empty()) values.emplace_back(name, line);
        std::string text = "Windows Registry Editor Version 5.00\n";
        for (const auto& [k, lines] : machineLines_) {
            text += "\n[HKEY_LOCAL_MACHINE\\" + k + "]\n";
            for (const auto& v : lines) text += v.second + "\n";
        }
        WriteFile(dir / "machine.reg", text);
    }
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> machineLines_;
#endif
};

}  // namespace pvd::test
