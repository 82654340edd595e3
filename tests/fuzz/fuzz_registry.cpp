// The .reg reader on arbitrary bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "settings/registry.h"
#include "platform/posix/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const pvd::RegistryData parsed = pvd::ParseRegFile(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& [key, values] : parsed) {
        if (!key.starts_with("HKEY_")) std::abort();  // only keys under a registry root
        for (const auto& [name, value] : values) {
            const pvd::RegistryResult r = pvd::ConvertRegistryValue(value, std::monostate{});
            const std::size_t n = value.bytes.size();
            // Each type reads as its own kind, or as nothing when its data is too short.
            switch (value.type) {
            case 1:
            case 2: {
                // Text ends at its first NUL, and holds none.
                const auto nul = std::find(value.bytes.begin(), value.bytes.end(), std::uint8_t{0});
                if (n ? std::get<std::string>(r).size() != static_cast<std::size_t>(nul - value.bytes.begin())
                      : !std::holds_alternative<std::monostate>(r))
                    std::abort();
                break;
            }
            case 4:
                if (n >= 4 ? !std::holds_alternative<std::int32_t>(r) : !std::holds_alternative<std::monostate>(r)) std::abort();
                break;
            case 7: {
                // Only a closing pair of NULs is dropped.
                std::size_t kept = n;
                while (kept > 0 && n - kept < 2 && value.bytes[kept - 1] == 0) --kept;
                if (n >= 2 ? std::get<std::string>(r).size() != kept : !std::holds_alternative<std::monostate>(r)) std::abort();
                break;
            }
            case 3:
                if (std::get<std::vector<std::uint8_t>>(r).size() != n) std::abort();
                break;
            default:
                if (!std::holds_alternative<std::monostate>(r)) std::abort();
            }
        }
    }
    return 0;
}
