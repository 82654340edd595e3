#include "platform/environment.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace pvd {

std::string GetRawEnv(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v ? std::string(v) : std::string();
}

std::string UserConfigFolder() {
    std::string xdg = GetRawEnv("XDG_CONFIG_HOME");
    if (!xdg.empty()) return xdg;
    std::string home = GetRawEnv("HOME");
    return home.empty() ? std::string() : home + "/.config";
}

std::string PrivateTempBase() {
    // Never the shared /tmp: another local user could plant links there.
    std::string runtime = GetRawEnv("XDG_RUNTIME_DIR");
    if (!runtime.empty()) return runtime;
    std::string cache = GetRawEnv("XDG_CACHE_HOME");
    if (!cache.empty()) return cache;
    std::string home = GetRawEnv("HOME");
    return home.empty() ? std::string() : home + "/.cache";
}

std::string GetEnv(const std::string& name) {
    std::string v = GetRawEnv(name);
    if (!v.empty()) return v;
    if (name == "APPDATA") return UserConfigFolder();
    if (name == "USERPROFILE") return GetRawEnv("HOME");
    if (name == "TEMP") return PrivateTempBase();
    return {};
}

std::string TempFolderSource() {
    if (!GetRawEnv("TEMP").empty()) return "environment TEMP";
    if (!GetRawEnv("XDG_RUNTIME_DIR").empty()) return "environment XDG_RUNTIME_DIR (for TEMP)";
    if (!GetRawEnv("XDG_CACHE_HOME").empty()) return "environment XDG_CACHE_HOME (for TEMP)";
    if (!GetRawEnv("HOME").empty()) return "environment HOME, $HOME/.cache (for TEMP)";
    return "none: TEMP, XDG_RUNTIME_DIR, XDG_CACHE_HOME and HOME are all unset";
}

std::string UserStateFolder(std::string* why) {
    std::string state = GetRawEnv("XDG_STATE_HOME");
    // Only an absolute XDG_STATE_HOME counts; a relative one is ignored.
    if (!state.empty() && state[0] == '/') return state;
    const std::string home = GetRawEnv("HOME");
    if (home.empty()) {
        if (why) *why = "neither XDG_STATE_HOME nor HOME is set";
        return {};
    }
    return home + "/.local/state";
}

std::string UserStateFolderSource() {
    const std::string state = GetRawEnv("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/') return "environment XDG_STATE_HOME";
    if (GetRawEnv("HOME").empty()) return "none: neither XDG_STATE_HOME nor HOME is set";
    return std::string("environment HOME, $HOME/.local/state (for XDG_STATE_HOME") + (state.empty() ? ")" : ", which is not a full path)");
}

std::string BuiltInDictationRoot() { return GetRawEnv("HOME") + "/VnFiles"; }

std::vector<std::string> CommandLineArguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

std::string ExecutablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

}  // namespace pvd
