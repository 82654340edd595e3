#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <random>
#include <string_view>

#include "platform/environment.h"

namespace pvd::test {

// The build tree: test programs live in its bin/.
inline std::filesystem::path BuildDir() {
    const std::string folder = ExecutableFolder();
    return folder.empty() ? std::filesystem::current_path() : std::filesystem::u8path(folder).parent_path();
}

#ifdef PVD_SOURCE_DIR
inline std::string SourceDir() { return PVD_SOURCE_DIR; }
#endif

// A scratch folder removed with everything in it at the end of the test.
class TempDir {
public:
    // Under the build tree, so that scratch folders sit on a local disk even
    // where /tmp is a RAM disk.
    TempDir() {
        std::filesystem::path base = BuildDir() / "test-tmp";
        std::filesystem::create_directories(base);
        static std::mt19937_64 random(std::random_device{}());
        for (int attempt = 0;; ++attempt) {
            const std::filesystem::path p = base / ("pvd-test-" + std::to_string(random() % 1'000'000'000));
            std::error_code ec;
            if (std::filesystem::create_directory(p, ec)) {
                path_ = p;
                break;
            }
            if (attempt > 100) std::abort();
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Sets environment variables for one scope and puts the old values back.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto& [name, old] : saved_) Put(name, old);
    }
    ScopedEnv& set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        Put(name, value);
        return *this;
    }

private:
    static void Put(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
        // An empty value removes the variable, as unset does.
        _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
#endif
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace pvd::test
