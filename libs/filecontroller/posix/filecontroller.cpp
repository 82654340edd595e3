// The file controller on POSIX: the format library opened with dlopen from
// the controller's own folder.
#include "filecontroller.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
void* g_driver = nullptr;

std::string OwnFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LoadFileDriver), &info) == 0 || !info.dli_fname) return {};
    std::string self = info.dli_fname;
    auto slash = self.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

}  // namespace

extern "C" {

int32_t LoadFileDriver(const char* name) {
    if (!name || !*name) return 0;
    const std::string file = name;
    if (file.find('/') != std::string::npos || file == "." || file == "..") return 0;  // a file name, not a path
    const std::string folder = OwnFolder();
    if (folder.empty()) return 0;
    void* lib = dlopen((folder + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 0;
    if (!dlsym(lib, "CreateVNFFile")) {
        dlclose(lib);
        return 0;
    }
    std::lock_guard lock(g_mutex);
    if (g_driver) dlclose(g_driver);
    g_driver = lib;
    return 1;
}

int32_t GetCurrentState(int32_t) {
    std::lock_guard lock(g_mutex);
    return g_driver ? 1 : 0;
}

}  // extern "C"
