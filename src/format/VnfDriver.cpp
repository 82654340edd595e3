#include "format/VnfDriver.h"

#include <memory>

#include "platform/shared_library.h"

namespace pvd {
namespace {

class LoadedFormatLibrary final : public VnfApi {
public:
    std::int32_t CreateVNFFileUnnamed(const char* path) override { return Load() ? create_(path) : 0; }
    std::int16_t SetRecordWaveParams(std::int32_t h, std::int32_t rate, std::int16_t ch, std::int16_t fmt) override {
        return Load() ? params_(h, rate, ch, fmt) : kMissing;
    }
    std::int16_t AddVNFField(std::int32_t h, const char* name, const char* value) override {
        return Load() ? add_(h, name, value) : kMissing;
    }
    std::int16_t SaveVNFFile(std::int32_t h) override { return Load() ? save_(h) : kMissing; }
    std::int16_t PublishVNFFile(std::int32_t h) override { return Load() ? publish_(h) : kMissing; }
    void CloseVNFFile(std::int32_t h) override {
        if (Load()) close_(h);
    }
    std::optional<VnfFields> ReadFields(const char* path) override {
        if (!Load()) return std::nullopt;
        const std::int32_t h = openRead_(path);
        if (h == 0) return std::nullopt;
        VnfFields fields;
        const std::int32_t count = count_(h);
        bool ok = count >= 0;
        for (std::int32_t i = 0; ok && i < count; ++i) {
            std::string name, value;
            ok = Copy(name_, h, i, name) && Copy(value_, h, i, value);
            fields.emplace_back(std::move(name), std::move(value));
        }
        close_(h);
        if (!ok) return std::nullopt;
        return fields;
    }
    void RemoveStaleTemporaries(const char* folder) override {
        if (Load()) sweep_(folder);
    }
    std::string LastFailure() override {
        if (!Load()) return "load the format library: " + LibraryFileName(Library::Format) + " is missing or cannot be loaded";
        std::string text;
        return Copy([this](std::int32_t, std::int32_t, char* b, std::int32_t n) { return failure_(b, n); }, 0, 0, text) ? text : "";
    }

private:
    static constexpr std::int16_t kMissing = -1;
    using TextFn = std::int32_t (*)(std::int32_t, std::int32_t, char*, std::int32_t);

    template <typename Fn>
    static bool Copy(Fn fn, std::int32_t h, std::int32_t i, std::string& out) {
        const std::int32_t n = fn(h, i, nullptr, 0);
        if (n < 0) return false;
        out.assign(static_cast<std::size_t>(n) + 1, '\0');
        if (fn(h, i, out.data(), n + 1) != n) return false;
        out.pop_back();
        return true;
    }

    template <typename F>
    bool Resolve(F& target, const char* name) {
        target = reinterpret_cast<F>(lib_->Symbol(name));
        return target != nullptr;
    }

    // Tried again at each call until it works, so a library installed while
    // the program runs is picked up.
    bool Load() {
        if (ready_) return true;
        lib_ = SharedLibrary::Open(LibraryFileName(Library::Format));
        ready_ = lib_ && Resolve(create_, "VNFCreateFileUnnamed") && Resolve(params_, "VNF_SetRecordWaveParams") &&
                 Resolve(add_, "AddVNFField") && Resolve(save_, "SaveVNFFile") && Resolve(publish_, "VNFPublishFile") &&
                 Resolve(close_, "CloseVNFFile") && Resolve(openRead_, "VNFOpenFileRead") && Resolve(count_, "VNFGetFieldCount") &&
                 Resolve(name_, "VNFGetFieldName") && Resolve(value_, "VNFGetFieldValue") &&
                 Resolve(sweep_, "VNFRemoveStaleTemporaries") && Resolve(failure_, "VNFGetLastFailure");
        if (!ready_) lib_.reset();
        return ready_;
    }

    std::unique_ptr<SharedLibrary> lib_;
    bool ready_ = false;
    std::int32_t (*create_)(const char*) = nullptr;
    std::int16_t (*params_)(std::int32_t, std::int32_t, std::int16_t, std::int16_t) = nullptr;
    std::int16_t (*add_)(std::int32_t, const char*, const char*) = nullptr;
    std::int16_t (*save_)(std::int32_t) = nullptr;
    std::int16_t (*publish_)(std::int32_t) = nullptr;
    void (*close_)(std::int32_t) = nullptr;
    std::int32_t (*openRead_)(const char*) = nullptr;
    std::int32_t (*count_)(std::int32_t) = nullptr;
    TextFn name_ = nullptr;
    TextFn value_ = nullptr;
    std::int32_t (*sweep_)(const char*) = nullptr;
    std::int32_t (*failure_)(char*, std::int32_t) = nullptr;
};

}  // namespace

VnfApi& FormatLibrary() {
    static LoadedFormatLibrary lib;
    return lib;
}

bool VnfDriver::VNF_CreateFile(const std::string& path) {
    VNF_CloseFile();
    handle_ = api_.CreateVNFFileUnnamed(path.c_str());
    if (handle_ != 0) fileName_ = path;
    return handle_ != 0;
}

std::int16_t VnfDriver::VNF_SetRecordParams(std::int32_t rate, std::int16_t channels, std::int16_t format) {
    return api_.SetRecordWaveParams(handle_, rate, channels, format);
}

bool VnfDriver::VNF_AddField(const std::string& name, const std::string& value) {
    return api_.AddVNFField(handle_, name.c_str(), value.c_str()) == 0;
}

bool VnfDriver::VNF_SaveFile() { return api_.SaveVNFFile(handle_) == 0; }

std::int16_t VnfDriver::VNF_PublishFile() { return api_.PublishVNFFile(handle_); }

std::string VnfDriver::VNF_LastFailure() {
    std::string text = api_.LastFailure();
    return text.empty() ? "the format library gives no reason" : text;
}

void VnfDriver::VNF_CloseFile() {
    api_.CloseVNFFile(handle_);
    handle_ = 0;
    fileName_.clear();
}

}  // namespace pvd
