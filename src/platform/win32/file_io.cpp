// Files on Windows: identity from the open handle, reads that share the file
// with its writer, and atomic replacement by a hidden temporary moved over
// the target.
#include "platform/file_io.h"

#include <windows.h>

#include <chrono>
#include <random>

#include "platform/win32/text_encoding.h"
#include "platform/file_system.h"

namespace pvd {
namespace {

using win32::Handle;
using win32::Wide;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Volume, file index, size, last-write and change times of an open file.
FileIdentity IdentityOf(HANDLE h) {
    FileIdentity id;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return id;
    id.exists = true;
    id.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && GetFileType(h) == FILE_TYPE_DISK;
    id.device = info.dwVolumeSerialNumber;
    id.fileId = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    id.mtimeNs = win32::FileTimeToUnixNs(info.ftLastWriteTime);
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        id.ctimeNs = win32::FileTimeToUnixNs(basic.ChangeTime.QuadPart);
    return id;
}

bool ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error,
                     FileIdentity* identity, bool* stable, DWORD* openError) {
    bytes.clear();
    if (identity) *identity = {};
    if (stable) *stable = true;
    if (openError) *openError = 0;
    auto fail = [&](std::string why) {
        bytes.clear();
        if (error) *error = std::move(why);
        return false;
    };
    if (path.empty()) return fail("No file name");
    // Shared with its writer, which may go on writing or replace it meanwhile.
    Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) {
        const DWORD e = GetLastError();
        if (openError) *openError = e;
        return fail("Cannot open file " + path + ": " + win32::ErrorText(e));
    }
    const FileIdentity before = IdentityOf(h.get());
    if (!before.exists) return fail("Cannot read file " + path + ": " + win32::ErrorText(GetLastError()));
    if (!before.regular) return fail("File " + path + " is not a regular file");
    if (static_cast<std::uint64_t>(before.size) > maxBytes)
        return fail("File " + path + " is larger than " + std::to_string(maxBytes) + " bytes");
    bytes.reserve(static_cast<std::size_t>(before.size));
    char buffer[64 * 1024];
    while (true) {
        DWORD n = 0;
        if (!::ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr))
            return fail("Cannot read file " + path + ": " + win32::ErrorText(GetLastError()));
        if (n == 0) break;
        bytes.append(buffer, n);
        if (bytes.size() > maxBytes) return fail("File " + path + " is larger than " + std::to_string(maxBytes) + " bytes");
    }
    if (stable) *stable = IdentityOf(h.get()) == before && static_cast<std::int64_t>(bytes.size()) == before.size;
    if (identity) *identity = before;
    return true;
}

std::string RandomSuffix() {
    static std::mt19937_64 random(std::random_device{}() ^ static_cast<std::uint64_t>(GetCurrentProcessId()) ^
                                  static_cast<std::uint64_t>(GetTickCount64()));
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(random()));
    return buf;
}

}  // namespace

FileIdentity StatFileIdentity(const std::string& path) {
    if (path.empty()) return {};
    // Attributes only: no sharing conflict with a writer, and folders too.
    Handle h(CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr));
    return h.valid() ? IdentityOf(h.get()) : FileIdentity{};
}

PathKind LinkKind(const std::string& path) {
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        const DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? PathKind::Missing : PathKind::Unknown;
    }
    return (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ? PathKind::Other
                                                                                                    : PathKind::RegularFile;
}

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error,
                   FileIdentity* identity, bool* stable, bool* missing) {
    DWORD openError = 0;
    const bool read = ReadRegularFile(path, maxBytes, bytes, error, identity, stable, &openError);
    if (missing) *missing = !read && (openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND);
    return read;
}

bool IdentityIsSettled(const FileIdentity& identity) {
    // FAT keeps modification times to 2 s; others are finer.
    constexpr std::int64_t kCoarsestTickNs = 2'000'000'000;
    const std::int64_t nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::int64_t changed = identity.ctimeNs ? identity.ctimeNs : identity.mtimeNs;
    return identity.exists && changed < nowNs - kCoarsestTickNs;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (path.empty()) return fail("No file name");
    const DWORD a = GetFileAttributesW(Wide(path).c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return fail("File " + path + " is not a regular file");
    std::string dir, name;
    SplitPath(path, dir, name);
    std::string tmp;
    Handle h;
    for (int attempt = 0; attempt < 16 && !h.valid(); ++attempt) {
        tmp = dir + "\\." + name + "." + RandomSuffix();
        h.reset(CreateFileW(Wide(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
        if (!h.valid() && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!h.valid()) return fail("Cannot create a file in " + dir + ": " + win32::ErrorText(GetLastError()));
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        ok = WriteFile(h.get(), bytes.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    ok = ok && FlushFileBuffers(h.get());
    h.reset();
    DWORD saved = ok ? 0 : GetLastError();
    if (ok) {
        // A replaced file keeps none of the temporary's hidden attribute.
        SetFileAttributesW(Wide(tmp).c_str(), FILE_ATTRIBUTE_NORMAL);
        ok = MoveFileExW(Wide(tmp).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!ok) saved = GetLastError();
    }
    if (!ok) {
        DeleteFileW(Wide(tmp).c_str());
        return fail("Cannot write " + path + ": " + win32::ErrorText(saved));
    }
    return true;
}

// The user's folders are private by the access rules they inherit from the
// profile; nothing here grants others more.
std::string PrivateFolderProblem(const std::string& folder) {
    if (folder.empty()) return {};
    const DWORD a = GetFileAttributesW(Wide(folder).c_str());
    if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY)) return folder + " is not a folder";
    return {};
}

PrivateWrite AppendPrivateFile(const std::string& path, std::string_view bytes, bool truncate, std::string* why) {
    auto refuse = [&](std::string reason) {
        if (why) *why = std::move(reason);
        return PrivateWrite::Refused;
    };
    if (path.empty() || path.back() == '\\' || path.back() == '/') return PrivateWrite::Failed;
    // A link (reparse point) is opened as itself, never followed.
    Handle h(CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | (truncate ? FILE_WRITE_DATA : 0),
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid()) return PrivateWrite::Failed;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.get(), &info)) return PrivateWrite::Failed;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return refuse(path + " is a link");
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(h.get()) != FILE_TYPE_DISK)
        return refuse(path + " is not a regular file");
    if (truncate) {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(h.get(), zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h.get())) return PrivateWrite::Failed;
    }
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (!WriteFile(h.get(), bytes.data() + done, chunk, &n, nullptr) || n == 0) return PrivateWrite::Failed;
        done += n;
    }
    return PrivateWrite::Written;
}

}  // namespace pvd
