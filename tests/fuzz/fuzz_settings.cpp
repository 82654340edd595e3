// The settings file: reading arbitrary text, and a write followed by a read
// of the same key, which must give back what was written, keeping the rest.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/posix/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    pvd::FindIniValue(text, "Defaults", "XMLDataPath");
    pvd::FindIniValue(text, "recorder", "Default Path");

    static const std::string file = "/tmp/pvd-fuzz-settings-" + std::to_string(getpid()) + ".ini";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
    }
    const std::string value = "/srv/pacs/order " + std::to_string(size) + ".xml";
    if (!pvd::WriteIniValue(file, "Defaults", "XMLDataPath", value)) std::abort();
    if (pvd::ReadIniValue(file, "Defaults", "XMLDataPath") != value) std::abort();
    return 0;
}
