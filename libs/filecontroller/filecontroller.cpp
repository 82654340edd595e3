// The file controller: the format library, chosen at start-up by file name,
// loaded from the controller's own folder.
#include "filecontroller.h"

#include <mutex>
#include <string>

#include "library_ops.h"

namespace {

std::mutex g_mutex;
void* g_driver = nullptr;

}  // namespace

extern "C" {

int32_t LoadFileDriver(const char* name) {
    if (!name || !*name) return 0;
    const std::string file = name;
    if (file.find_first_of(fc::kPathCharacters) != std::string::npos || file == "." || file == "..") return 0;  // a file name, not a path
    void* lib = fc::OpenOwnLibrary(file, "CreateVNFFile");
    if (!lib) return 0;
    std::lock_guard lock(g_mutex);
    if (g_driver) fc::CloseLibrary(g_driver);
    g_driver = lib;
    return 1;
}

int32_t GetCurrentState(int32_t) {
    std::lock_guard lock(g_mutex);
    return g_driver ? 1 : 0;
}

}  // extern "C"
