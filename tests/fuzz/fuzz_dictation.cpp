// The dictation file reader on arbitrary bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "vnfformat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = "/tmp/pvd-fuzz-dictation-" + std::to_string(getpid()) + ".iaf";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const int32_t h = VNFOpenFileRead(file.c_str());
    if (h == 0) return 0;
    int32_t rate = 0;
    int16_t channels = 0, format = 0;
    if (VNFGetRecordWaveParams(h, &rate, &channels, &format) != VNF_OK) std::abort();
    const int32_t count = VNFGetFieldCount(h);
    if (count < 0) std::abort();
    char buf[64];
    for (int32_t i = 0; i < count; ++i) {
        const int32_t n = VNFGetFieldName(h, i, buf, sizeof buf);
        const int32_t v = VNFGetFieldValue(h, i, buf, sizeof buf);
        if (n < 0 || v < 0 || static_cast<std::size_t>(n) + static_cast<std::size_t>(v) > size) std::abort();
    }
    if (VNFGetFieldName(h, count, buf, sizeof buf) != -1) std::abort();
    CloseVNFFile(h);
    return 0;
}
