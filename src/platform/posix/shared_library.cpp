#include "platform/shared_library.h"

#include <dlfcn.h>

#include "platform/environment.h"

namespace pvd {

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& fileName) {
    if (fileName.empty() || fileName.find('/') != std::string::npos) return nullptr;
    const std::string here = ExecutableFolder();
    for (const std::string& candidate : {here + "/" + fileName, here + "/../lib/" + fileName}) {
        if (void* h = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return std::unique_ptr<SharedLibrary>(new SharedLibrary(h));
    }
    return nullptr;
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace pvd
