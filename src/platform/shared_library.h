// Outside libraries loaded at run time by file name.
#pragma once

#include <memory>
#include <string>

namespace pvd {

// The libraries that the program loads.
enum class Library { Format, Controller };
// Its file name on this platform: libvnfformat.so and libfilecontroller.so;
// vnfformat.dll and FileControllerDll.dll on Windows.
std::string LibraryFileName(Library library);

class SharedLibrary {
public:
    // Run from a build tree, looks in the program's own folder, then its
    // ../lib. Installed, opens the library where the packages put it (the
    // format library by its soname), and nowhere else: never through the
    // loader's search path, so that the program always uses the libraries
    // installed with it. Nothing when the library is missing or cannot be
    // loaded.
    static std::unique_ptr<SharedLibrary> Open(const std::string& fileName);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    void* Symbol(const char* name) const;

private:
    explicit SharedLibrary(void* handle) : handle_(handle) {}
    void* handle_;
};

}  // namespace pvd
