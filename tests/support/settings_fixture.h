#pragma once

#include <gtest/gtest.h>

#include "settings/systemRegKeys.h"
#include "test_support.h"

namespace pvd::test {

// A scratch home: settings, registry files, documents and temp all inside it,
// and the process-wide settings names back at their start values.
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
    }
    void TearDown() override { ResetSettingsState(); }

    std::string Settings() const { return dir / "config/Vantora Recorder/settings.ini"; }
    void WriteSettings(std::string_view text) {
        std::filesystem::create_directories(dir.path() / "config" / "Vantora Recorder");
        WriteFile(Settings(), text);
    }
    void MachineValues(const std::string& key, const std::string& lines) {
        WriteFile(dir / "machine.reg", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\" + key + "]\n" + lines);
    }
};

}  // namespace pvd::test
