// Libraries on Windows: loaded by full path from the controller's own
// folder, never through the search order.
#include <windows.h>

#include "../../win32_wide.h"
#include "../library_ops.h"
#include "filecontroller.h"

namespace fc {
namespace {

using vnf_libs::Wide;

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

const char* const kPathCharacters = "\\/:";

void* OpenOwnLibrary(const std::string& file, const char* symbol) {
    const std::wstring folder = OwnFolder();
    if (folder.empty()) return nullptr;
    HMODULE lib = LoadLibraryExW((folder + L"\\" + Wide(file)).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (lib && !GetProcAddress(lib, symbol)) {
        FreeLibrary(lib);
        return nullptr;
    }
    return lib;
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace fc
