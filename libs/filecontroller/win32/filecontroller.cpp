// The file controller on Windows: the format library loaded by full path
// from the controller's own folder, never through the search order.
#include <windows.h>

#include <mutex>
#include <string>

#include "filecontroller.h"

namespace {

std::mutex g_mutex;
HMODULE g_driver = nullptr;

std::wstring Wide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::wstring OwnFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&LoadFileDriver), &self))
        return {};
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

}  // namespace

extern "C" {

int32_t LoadFileDriver(const char* name) {
    if (!name || !*name) return 0;
    const std::string file = name;
    if (file.find_first_of("\\/:") != std::string::npos || file == "." || file == "..") return 0;  // a file name, not a path
    const std::wstring folder = OwnFolder();
    if (folder.empty()) return 0;
    HMODULE lib = LoadLibraryExW((folder + L"\\" + Wide(file)).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib) return 0;
    if (!GetProcAddress(lib, "CreateVNFFile")) {
        FreeLibrary(lib);
        return 0;
    }
    std::lock_guard lock(g_mutex);
    if (g_driver) FreeLibrary(g_driver);
    g_driver = lib;
    return 1;
}

int32_t GetCurrentState(int32_t) {
    std::lock_guard lock(g_mutex);
    return g_driver ? 1 : 0;
}

}  // extern "C"
