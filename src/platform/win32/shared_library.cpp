// Loading the program's libraries on Windows: by full path from the program's
// own folder, never through the loader's search order.
#include "platform/shared_library.h"

#include <windows.h>

#include "platform/environment.h"
#include "platform/win32/text_encoding.h"

namespace pvd {

std::string LibraryFileName(Library library) {
    return library == Library::Format ? "vnfformat.dll" : "FileControllerDll.dll";
}

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& fileName) {
    if (fileName.empty() || fileName.find_first_of("\\/:") != std::string::npos) return nullptr;
    const std::string here = ExecutableFolder();
    if (here.empty()) return nullptr;
    // Its own dependencies are looked for beside it, not in the current folder.
    HMODULE h = LoadLibraryExW(win32::Wide(here + "\\" + fileName).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!h) return nullptr;
    return std::unique_ptr<SharedLibrary>(new SharedLibrary(h));
}

SharedLibrary::~SharedLibrary() { FreeLibrary(static_cast<HMODULE>(handle_)); }

void* SharedLibrary::Symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace pvd
