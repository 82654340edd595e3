// Reads a whole dictation file through the format library, for the tools.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "vnfformat.h"

namespace pvd::tools {

using Json = nlohmann::ordered_json;

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
