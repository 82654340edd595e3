#include "platform/win32/registry_key.h"

#include "platform/win32/text_encoding.h"

namespace pvd::win32 {

LONG RegistryKey::Open(HKEY root, const std::string& path, REGSAM view) {
    return RegOpenKeyExW(root, Wide(path).c_str(), 0, KEY_QUERY_VALUE | view, &key_);
}

LONG RegistryKey::Create(HKEY root, const std::string& path) {
    return RegCreateKeyExW(root, Wide(path).c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr);
}

LONG RegistryKey::Query(const std::string& name, DWORD& type, std::vector<std::uint8_t>& bytes) const {
    const std::wstring w = Wide(name);
    DWORD size = 1024;
    for (int attempt = 0; attempt < 8; ++attempt) {
        bytes.resize(size);
        DWORD got = size;
        const LONG r = RegQueryValueExW(key_, w.c_str(), nullptr, &type, bytes.data(), &got);
        if (r == ERROR_SUCCESS) {
            bytes.resize(got);
            return r;
        }
        if (r != ERROR_MORE_DATA) return r;
        // The value grew or was larger than the first guess: try its size now.
        size = got > size ? got : size * 2;
    }
    return ERROR_MORE_DATA;
}

LONG RegistryKey::SetText(const std::string& name, const std::string& value) const {
    const std::wstring v = Wide(value);
    return RegSetValueExW(key_, Wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
}

std::vector<std::uint8_t> Utf16BytesToUtf8(const std::vector<std::uint8_t>& bytes) {
    std::wstring w(bytes.size() / 2, L'\0');
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    const std::string s = Utf8(w);
    return {s.begin(), s.end()};
}

}  // namespace pvd::win32
