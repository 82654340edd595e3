// Special folders on POSIX: the XDG documents folder and $HOME.
#include "platform/special_folders.h"

#include <sstream>

#include "platform/environment.h"
#include "platform/file_io.h"

namespace pvd {
namespace {
std::string StripTrailingSeparators(std::string p) {
    while (p.size() > 1 && p.back() == kPathSeparator) p.pop_back();
    return p;
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs, with $HOME expanded.
std::string DocumentsFromUserDirs(const std::string& home) {
    std::string config = UserConfigFolder();
    if (config.empty()) return {};
    std::string text;
    if (!ReadWholeFile(config + "/user-dirs.dirs", 1024 * 1024, text)) return {};
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DOCUMENTS_DIR=";
        if (!line.starts_with(key)) continue;
        std::string v = line.substr(key.size());
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (v.starts_with("$HOME")) v = home + v.substr(5);
        return v;
    }
    return {};
}
}  // namespace

std::string GetSpecialFolder(int csidl) {
    const std::string home = GetRawEnv("HOME");
    if (csidl == 40) return StripTrailingSeparators(home);
    if (csidl != 5) return {};
    std::string d = GetRawEnv("XDG_DOCUMENTS_DIR");
    if (d.empty()) d = DocumentsFromUserDirs(home);
    if (d.empty() && !home.empty()) d = StripTrailingSeparators(home) + "/Documents";
    return StripTrailingSeparators(d);
}

}  // namespace pvd
