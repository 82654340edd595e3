#include "settings/registry.h"

#include <algorithm>
#include <cctype>

#include "platform/environment.h"

namespace pvd {
namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

RegistryResult ConvertRegistryValue(const RegistryValue& value, const RegistryResult& fallback) {
    const auto& bytes = value.bytes;
    switch (value.type) {
    case 1:
    case 2: {
        if (bytes.empty()) return fallback;  // a zero-size text value cannot be converted
        // The text ends at its first NUL, as the platform's own string reads
        // end it: what follows a NUL must never reach a path. Data stored
        // without its closing NUL keeps its last character.
        auto nul = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
        return std::string(bytes.begin(), nul);
    }
    case 3:
        return bytes;
    case 4:
        if (bytes.size() < 4) return fallback;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                                         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24));
    case 7: {
        if (bytes.size() < 2) return fallback;
        // Only the closing pair of NULs is dropped, and only when it is there.
        auto end = bytes.end();
        for (int i = 0; i < 2 && end[-1] == 0; ++i) --end;
        return std::string(bytes.begin(), end);
    }
    default:
        return fallback;
    }
}

RegistryResult ReadRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName,
                                 const RegistryResult& fallback) {
    RegistryValue value;
    if (!ReadRawRegistryValue(root, keyPath, valueName, value)) return fallback;
    return ConvertRegistryValue(value, fallback);
}

std::string ReadRegistryText(RegistryRoot root, const std::string& keyPath, const std::string& valueName) {
    RegistryResult r = ReadRegistryValue(root, keyPath, valueName, std::string());
    const std::string* s = std::get_if<std::string>(&r);
    return s ? *s : std::string();
}

std::string ExpandUserNamePlaceholder(const std::string& path) {
    static const std::string kPlaceholder = "<USERNAME>";
    std::string upper = Upper(path);
    if (!upper.starts_with(kPlaceholder)) return path;
    const std::string profile = GetSpecialFolder(40);
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = upper.find(kPlaceholder, pos)) != std::string::npos; pos = hit + kPlaceholder.size()) {
        out += path.substr(pos, hit - pos);
        out += profile;
    }
    return out + path.substr(pos);
}

std::string GetFileBaseName(const std::string& path) {
    // Positions as 1-based, 0 when absent, exactly as the name rule counts them.
    auto pos1 = [](std::size_t p) { return p == std::string::npos ? 0L : static_cast<long>(p) + 1; };
    long s = pos1(path.find_last_of(kPathSeparators));
    long d = pos1(path.find_last_of('.'));
    long n = d - s - 1;
    if (n <= 0) return {};
    return path.substr(static_cast<std::size_t>(s), static_cast<std::size_t>(n));
}

std::string GetFileName(const std::string& path) {
    auto slash = path.find_last_of(kPathSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace pvd
