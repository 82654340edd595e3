// The program's thin wrapper over the format library, holding the one file
// that is open through it.
#pragma once

#include <cstdint>
#include <string>

namespace pvd {

// The format library's write functions.
class VnfApi {
public:
    virtual ~VnfApi() = default;
    virtual std::int32_t CreateVNFFile(const char* path) = 0;
    virtual std::int16_t SetRecordWaveParams(std::int32_t handle, std::int32_t rate, std::int16_t channels, std::int16_t format) = 0;
    virtual std::int16_t AddVNFField(std::int32_t handle, const char* name, const char* value) = 0;
    virtual std::int16_t SaveVNFFile(std::int32_t handle) = 0;
    virtual void CloseVNFFile(std::int32_t handle) = 0;
};

// libvnfformat.so, loaded at the first call. When it is missing every call
// fails as the library would for a file it cannot create.
VnfApi& FormatLibrary();

class VnfDriver {
public:
    explicit VnfDriver(VnfApi& api = FormatLibrary()) : api_(api) {}

    bool VNF_CreateFile(const std::string& path);
    std::int16_t VNF_SetRecordParams(std::int32_t rate, std::int16_t channels, std::int16_t format);
    bool VNF_AddField(const std::string& name, const std::string& value);
    bool VNF_SaveFile();
    void VNF_CloseFile();

    std::int32_t currentHandle() const { return handle_; }
    const std::string& currentFileName() const { return fileName_; }

private:
    VnfApi& api_;
    std::int32_t handle_ = 0;
    std::string fileName_;
};

}  // namespace pvd
