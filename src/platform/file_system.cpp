#include "platform/file_system.h"

#include "platform/environment.h"

namespace pvd {

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
    const auto separator = path.find_last_of(kPathSeparators);
    if (separator == std::string::npos) {
        folder = ".";
        name = path;
        return;
    }
    const bool root = separator == 0 || (kPathSeparator == '\\' && separator == 2 && path[1] == ':');
    // assign() rather than substr(): GCC 12 sees a false overlap in the latter.
    folder.assign(path, 0, root ? separator + 1 : separator);
    name.assign(path, separator + 1);
}

std::string FolderOf(const std::string& path) {
    std::string folder, name;
    SplitPath(path, folder, name);
    return folder;
}

}  // namespace pvd
