#include "platform/shared_library.h"

#include <dlfcn.h>

#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/environment.h"

namespace pvd {
namespace {

// Where the packages install each library that the program loads.
struct InstalledLibrary {
    std::string_view name;
    const char* path;
};
constexpr InstalledLibrary kInstalled[] = {
    {"libvnfformat.so", PVD_INSTALLED_FORMAT_LIBRARY},
    {"libfilecontroller.so", PVD_INSTALLED_CONTROLLER},
};

bool RunsInstalled(const std::string& here) {
    std::error_code ec;
    return !here.empty() && std::filesystem::equivalent(here, PVD_INSTALLED_BINDIR, ec);
}

}  // namespace

std::string LibraryFileName(Library library) {
    return library == Library::Format ? "libvnfformat.so" : "libfilecontroller.so";
}

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::string& fileName) {
    if (fileName.empty() || fileName.find('/') != std::string::npos) return nullptr;
    const std::string here = ExecutableFolder();
    std::vector<std::string> candidates;
    if (RunsInstalled(here)) {
        for (const InstalledLibrary& lib : kInstalled)
            if (lib.name == fileName) candidates.emplace_back(lib.path);
    } else {
        candidates = {here + "/" + fileName, here + "/../lib/" + fileName};
    }
    for (const std::string& candidate : candidates) {
        if (void* h = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return std::unique_ptr<SharedLibrary>(new SharedLibrary(h));
    }
    return nullptr;
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace pvd
