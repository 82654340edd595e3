// The registry on POSIX: .reg files in the format that the registry editor
// exports. Machine values come only from the machine file, user values only
// from the user file.
#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <memory>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/posix/reg_file.h"

namespace pvd {
namespace {

constexpr std::size_t kMaxRegFileBytes = 16u * 1024u * 1024u;

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16LeToUtf8(std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
        char32_t u = static_cast<unsigned char>(in[i]) | (static_cast<unsigned char>(in[i + 1]) << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < in.size()) {
            char32_t lo = static_cast<unsigned char>(in[i + 2]) | (static_cast<unsigned char>(in[i + 3]) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
    }
    return out;
}

std::string CanonicalKey(std::string key) {
    auto slash = key.find('\\');
    std::string root = Upper(key.substr(0, slash));
    if (root == "HKLM") root = "HKEY_LOCAL_MACHINE";
    if (root == "HKCU") root = "HKEY_CURRENT_USER";
    std::string rest = slash == std::string::npos ? std::string() : key.substr(slash);
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    return root + Upper(rest);
}

// Parses a quoted string starting at s[pos] == '"'; advances pos past it.
bool ParseQuoted(std::string_view s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '\\' && pos + 1 < s.size()) {
            out += s[++pos];
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
    }
    return false;  // unterminated
}

bool ParseHexBytes(std::string_view s, std::vector<std::uint8_t>& out) {
    out.clear();
    std::string digits;
    auto flush = [&]() {
        if (digits.empty()) return true;
        if (digits.size() > 2) return false;
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
        digits.clear();
        return true;
    };
    bool afterComma = false;
    for (char c : s) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
            afterComma = false;
        } else if (c == ',') {
            if (digits.empty() || !flush()) return false;
            afterComma = true;
        } else if (c != ' ' && c != '\t') {
            return false;
        }
    }
    return !afterComma && flush();
}

// Text-typed hex data of a version 5 file is UTF-16LE; convert it to UTF-8 bytes.
std::vector<std::uint8_t> TextBytes(const std::vector<std::uint8_t>& raw, bool utf16) {
    if (!utf16) return raw;
    std::string s = Utf16LeToUtf8(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
    return {s.begin(), s.end()};
}

bool ParseValue(std::string_view v, bool utf16, RegistryValue& out) {
    if (!v.empty() && v.front() == '"') {
        std::size_t pos = 0;
        std::string text;
        if (!ParseQuoted(v, pos, text)) return false;
        out.type = 1;
        out.bytes.assign(text.begin(), text.end());
        out.bytes.push_back(0);
        return true;
    }
    std::string head = Upper(std::string(v.substr(0, std::min<std::size_t>(v.size(), 8))));
    if (head.starts_with("DWORD:")) {
        std::string_view digits = v.substr(6);
        if (digits.empty() || digits.size() > 8) return false;
        for (char c : digits)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        std::uint32_t n = static_cast<std::uint32_t>(std::stoul(std::string(digits), nullptr, 16));
        out.type = 4;
        out.bytes = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
                     static_cast<std::uint8_t>(n >> 24)};
        return true;
    }
    if (head.starts_with("HEX:")) {
        out.type = 3;
        return ParseHexBytes(v.substr(4), out.bytes);
    }
    if (head.starts_with("HEX(")) {
        auto close = v.find("):");
        if (close == std::string_view::npos || close == 4 || close > 12) return false;
        std::string t(v.substr(4, close - 4));
        for (char c : t)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        out.type = static_cast<std::uint32_t>(std::stoul(t, nullptr, 16));
        std::vector<std::uint8_t> raw;
        if (!ParseHexBytes(v.substr(close + 2), raw)) return false;
        bool text = out.type == 1 || out.type == 2 || out.type == 7;
        out.bytes = text ? TextBytes(raw, utf16) : raw;
        return true;
    }
    return false;
}

}  // namespace

namespace {

// The parsed values of each registry file, kept while the file's identity
// stays the same: every path lookup reads several values, and the watch
// reads them at every tick.
struct CachedRegistry {
    FileIdentity identity;
    std::shared_ptr<const RegistryData> data;
};

std::shared_ptr<const RegistryData> RegistryOf(const std::string& file) {
    static std::map<std::string, CachedRegistry> cache;
    const FileIdentity now = StatFileIdentity(file);
    if (auto it = cache.find(file); it != cache.end()) {
        if (now.exists && it->second.identity == now) return it->second.data;
        cache.erase(it);
    }
    std::string text;
    FileIdentity read;
    bool stable = true;
    if (!ReadWholeFile(file, kMaxRegFileBytes, text, nullptr, &read, &stable)) text.clear();
    auto data = std::make_shared<const RegistryData>(ParseRegFile(text));
    if (stable && IdentityIsSettled(read)) cache[file] = CachedRegistry{read, data};
    return data;
}

}  // namespace

RegistryData ParseRegFile(std::string_view bytes) {
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text = Utf16LeToUtf8(bytes.substr(2));
    } else {
        if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        text.assign(bytes);
    }

    // Join continuation lines (a trailing backslash) into logical lines.
    std::vector<std::string> lines;
    std::string logical;
    bool continuing = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (continuing) line.erase(0, line.find_first_not_of(" \t"));
        logical += line;
        continuing = !logical.empty() && logical.back() == '\\' && logical.find('=') != std::string::npos && logical.front() != '[';
        if (continuing) {
            logical.pop_back();
        } else {
            lines.push_back(std::move(logical));
            logical.clear();
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    // A value still continuing at the end of the file was cut off: it is dropped.

    RegistryData data;
    bool utf16Text = true;  // REGEDIT4 files hold 8-bit text in hex(...) data
    std::string key;
    bool haveKey = false;
    for (std::string& line : lines) {
        std::size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        std::string_view l(line);
        l.remove_prefix(b);
        while (!l.empty() && (l.back() == ' ' || l.back() == '\t')) l.remove_suffix(1);
        if (l.empty() || l.front() == ';') continue;
        if (l == "REGEDIT4") {
            utf16Text = false;
            continue;
        }
        if (l.starts_with("Windows Registry Editor Version")) {
            utf16Text = true;
            continue;
        }
        if (l.front() == '[') {
            haveKey = false;
            if (l.back() != ']' || l.size() < 3 || l[1] == '-') continue;  // malformed, or a deletion
            key = CanonicalKey(std::string(l.substr(1, l.size() - 2)));
            haveKey = key.starts_with("HKEY_") && key.find('\\') != std::string::npos;  // a root, then a key under it
            continue;
        }
        if (!haveKey) continue;
        std::string name;
        std::size_t pos = 0;
        if (l.front() == '@') {
            pos = 1;
        } else if (!ParseQuoted(l, pos, name)) {
            continue;
        }
        while (pos < l.size() && (l[pos] == ' ' || l[pos] == '\t')) ++pos;
        if (pos >= l.size() || l[pos] != '=') continue;
        ++pos;
        while (pos < l.size() && (l[pos] == ' ' || l[pos] == '\t')) ++pos;
        std::string_view v = l.substr(pos);
        auto& values = data[key];
        if (v == "-") {
            values.erase(Upper(name));
            continue;
        }
        RegistryValue value;
        if (ParseValue(v, utf16Text, value)) values[Upper(name)] = std::move(value);
    }
    return data;
}

std::string MachineRegistryFile() {
    std::string v = GetRawEnv("VANTORA_MACHINE_REGISTRY");
    return v.empty() ? std::string("/etc/vantora/registry.reg") : v;
}

std::string UserRegistryFile() {
    std::string c = UserConfigFolder();
    return c.empty() ? std::string() : c + "/vantora/registry.reg";
}

std::string RegistryLocation(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? MachineRegistryFile() : UserRegistryFile();
}

std::string RegistryLocationSource(RegistryRoot root) {
    if (root == RegistryRoot::CurrentUser) return "";
    return GetRawEnv("VANTORA_MACHINE_REGISTRY").empty() ? "built-in default" : "environment VANTORA_MACHINE_REGISTRY";
}

// One machine file, one user file: a view each.
std::vector<std::string> RegistryViews(RegistryRoot) { return {""}; }

bool ReadRawRegistryValue(RegistryRoot root, const std::string& keyPath, const std::string& valueName, RegistryValue& out,
                          std::size_t view) {
    if (view != 0) return false;
    const std::string file = RegistryLocation(root);
    const std::string rootName = root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    const auto data = RegistryOf(file);
    auto k = data->find(CanonicalKey(rootName + "\\" + keyPath));
    if (k == data->end()) return false;
    auto v = k->second.find(Upper(valueName));
    if (v == k->second.end()) return false;
    out = v->second;
    return true;
}

}  // namespace pvd
