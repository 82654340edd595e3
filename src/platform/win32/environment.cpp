// The environment on Windows: the wide-character environment block, the
// system's temporary folder, the program's own module name.
#include "platform/environment.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

#include "platform/win32/text_encoding.h"

namespace pvd {
namespace {

std::string SystemTempFolder() {
    wchar_t buf[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
    if (n == 0 || n > MAX_PATH + 1) return {};
    std::string t = win32::Utf8(std::wstring_view(buf, n));
    if (t.size() > 3 && t.back() == '\\') t.pop_back();  // no separator at the end, except at a drive root
    return t;
}
}  // namespace

std::string GetRawEnv(const std::string& name) {
    const wchar_t* v = _wgetenv(win32::Wide(name).c_str());
    return v ? win32::Utf8(v) : std::string();
}

std::string UserConfigFolder() { return GetRawEnv("APPDATA"); }

std::string PrivateTempBase() { return SystemTempFolder(); }

std::string GetEnv(const std::string& name) {
    std::string v = GetRawEnv(name);
    if (!v.empty()) return v;
    if (name == "TEMP") return SystemTempFolder();
    return {};
}

std::string TempFolderSource() {
    return GetRawEnv("TEMP").empty() ? "the system's temporary folder (for TEMP)" : "environment TEMP";
}

std::string UserStateFolder(std::string* why) {
    std::string local = GetRawEnv("LOCALAPPDATA");
    if (local.empty()) local = GetRawEnv("APPDATA");
    if (local.empty() && why) *why = "neither LOCALAPPDATA nor APPDATA is set";
    return local;
}

std::string UserStateFolderSource() {
    if (!GetRawEnv("LOCALAPPDATA").empty()) return "environment LOCALAPPDATA";
    if (!GetRawEnv("APPDATA").empty()) return "environment APPDATA (for LOCALAPPDATA)";
    return "none: neither LOCALAPPDATA nor APPDATA is set";
}

std::string BuiltInDictationRoot() { return "C:\\VnFiles"; }

std::vector<std::string> CommandLineArguments(int, char**) {
    // The ANSI argv loses what the code page cannot spell: read the wide one.
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    std::vector<std::string> out;
    for (int i = 1; wide && i < n; ++i) out.push_back(win32::Utf8(wide[i]));
    if (wide) LocalFree(wide);
    return out;
}

std::string ExecutablePath() {
    std::wstring buf(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return win32::Utf8(std::wstring_view(buf.data(), n));
        buf.resize(buf.size() * 2);
    }
}

}  // namespace pvd
