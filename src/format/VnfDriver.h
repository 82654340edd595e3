// The program's thin wrapper over the format library, holding the one file
// that is open through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pvd {

using VnfFields = std::vector<std::pair<std::string, std::string>>;

// The format library's functions as the program uses them.
class VnfApi {
public:
    virtual ~VnfApi() = default;
    // A new file that gets its name only when it is published.
    virtual std::int32_t CreateVNFFileUnnamed(const char* path) = 0;
    virtual std::int16_t SetRecordWaveParams(std::int32_t handle, std::int32_t rate, std::int16_t channels, std::int16_t format) = 0;
    virtual std::int16_t AddVNFField(std::int32_t handle, const char* name, const char* value) = 0;
    virtual std::int16_t SaveVNFFile(std::int32_t handle) = 0;
    virtual std::int16_t PublishVNFFile(std::int32_t handle) = 0;
    virtual void CloseVNFFile(std::int32_t handle) = 0;
    // The fields of a dictation file in their order; nothing when it is not one.
    virtual std::optional<VnfFields> ReadFields(const char* path) = 0;
    virtual void RemoveStaleTemporaries(const char* folder) = 0;
    // Why this thread's last create, save or publish failed: the step and
    // the system's own words.
    virtual std::string LastFailure() = 0;
};

// libvnfformat, loaded at the first call. When it is missing every call
// fails as the library would for a file it cannot create.
VnfApi& FormatLibrary();

// The library's status for a file whose name was taken before it was published.
inline constexpr std::int16_t kVnfNameTaken = 4;

class VnfDriver {
public:
    explicit VnfDriver(VnfApi& api = FormatLibrary()) : api_(api) {}

    // The file is built unnamed: it appears under its path only at
    // VNF_PublishFile, complete, and never replaces anything.
    bool VNF_CreateFile(const std::string& path);
    std::int16_t VNF_SetRecordParams(std::int32_t rate, std::int16_t channels, std::int16_t format);
    bool VNF_AddField(const std::string& name, const std::string& value);
    bool VNF_SaveFile();
    // The library's status: 0 published, kVnfNameTaken when the name is taken.
    std::int16_t VNF_PublishFile();
    void VNF_CloseFile();
    // Why the last create, save or publish failed, never empty.
    std::string VNF_LastFailure();

    std::int32_t currentHandle() const { return handle_; }
    const std::string& currentFileName() const { return fileName_; }
    VnfApi& api() { return api_; }

private:
    VnfApi& api_;
    std::int32_t handle_ = 0;
    std::string fileName_;
};

}  // namespace pvd
