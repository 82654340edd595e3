// Reads a whole dictation file through the format library, for the tools.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "vnfformat.h"

namespace pvd::tools {

using Json = nlohmann::ordered_json;

// The arguments after the program's name, in UTF-8: on Windows from the wide
// command line, which keeps what the ANSI code page cannot spell.
inline std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> out;
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    for (int i = 1; wide && i < n; ++i) {
        const int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(len > 0 ? static_cast<std::size_t>(len - 1) : 0, '\0');
        if (len > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), len, nullptr, nullptr);
        out.push_back(std::move(s));
    }
    if (wide) LocalFree(wide);
    return out;
#else
    return {argv + 1, argv + argc};
#endif
}

inline std::string FieldText(int32_t handle, int32_t index, bool value) {
    auto get = value ? VNFGetFieldValue : VNFGetFieldName;
    int32_t len = get(handle, index, nullptr, 0);
    if (len < 0) return {};
    std::string text(static_cast<std::size_t>(len) + 1, '\0');
    get(handle, index, text.data(), len + 1);
    text.resize(static_cast<std::size_t>(len));
    return text;
}

// {"sample_rate", "channels", "format", "fields": [{"name", "value"}]}, or
// nothing when the file cannot be read as a dictation file.
inline bool ReadVnf(const std::string& path, Json& out) {
    int32_t h = VNFOpenFileRead(path.c_str());
    if (h == 0) return false;
    int32_t rate = 0;
    int16_t channels = 0, format = 0;
    VNFGetRecordWaveParams(h, &rate, &channels, &format);
    Json fields = Json::array();
    const int32_t count = VNFGetFieldCount(h);
    for (int32_t i = 0; i < count; ++i) fields.push_back({{"name", FieldText(h, i, false)}, {"value", FieldText(h, i, true)}});
    CloseVNFFile(h);
    out = Json{{"sample_rate", rate}, {"channels", channels}, {"format", format}, {"fields", fields}};
    return true;
}

inline std::string Dump(const Json& j, int indent = -1) { return j.dump(indent, ' ', false, Json::error_handler_t::replace); }

}  // namespace pvd::tools
