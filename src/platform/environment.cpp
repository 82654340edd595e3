#include "platform/environment.h"

namespace pvd {
namespace {
std::string& BaseNameOverride() {
    static std::string name;
    return name;
}
}  // namespace

std::string ExecutableFolder() {
    const std::string p = ExecutablePath();
    const auto separator = p.find_last_of(kPathSeparators);
    if (separator == std::string::npos) return {};
    return separator == 0 ? p.substr(0, 1) : p.substr(0, separator);
}

std::string ExecutableBaseName() {
    if (!BaseNameOverride().empty()) return BaseNameOverride();
    const std::string p = ExecutablePath();
    std::string name = p.substr(p.find_last_of(kPathSeparators) + 1);
    const auto dot = name.find_last_of('.');
    return (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
}

void SetExecutableBaseNameForTesting(const std::string& name) { BaseNameOverride() = name; }

}  // namespace pvd
