// Libraries on POSIX: dlopen by full path from the controller's own folder.
#include <dlfcn.h>

#include "../library_ops.h"
#include "filecontroller.h"

namespace fc {
namespace {

std::string OwnFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LoadFileDriver), &info) == 0 || !info.dli_fname) return {};
    std::string self = info.dli_fname;
    auto slash = self.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

}  // namespace

const char* const kPathCharacters = "/";

void* OpenOwnLibrary(const std::string& file, const char* symbol) {
    const std::string folder = OwnFolder();
    if (folder.empty()) return nullptr;
    void* lib = dlopen((folder + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib && !dlsym(lib, symbol)) {
        dlclose(lib);
        return nullptr;
    }
    return lib;
}

void CloseLibrary(void* library) { dlclose(library); }

}  // namespace fc
