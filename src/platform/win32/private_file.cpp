// The user's private files on Windows. The folder is held open without
// delete sharing, so it cannot be renamed or replaced while its files are
// used; a link (reparse point) is never followed into or through. Access
// rules are those the folder inherits from the user's profile.
#include "platform/private_file.h"

#include <windows.h>

#include "platform/file_system.h"
#include "platform/win32/text_encoding.h"

namespace pvd {
namespace {

using win32::Handle;
using win32::Wide;

std::string Reason(const std::string& what, DWORD e) { return what + ": " + win32::ErrorText(e); }

bool IsMissing(DWORD e) { return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND; }

void CloseIf(void*& h) {
    if (h) CloseHandle(static_cast<HANDLE>(h));
    h = nullptr;
}

bool CreateMissingLevels(const std::string& path, std::string& error) {
    // Levels below the root (C:\ or \\server\share\) only.
    const std::size_t root = PathRoot(path).size();
    for (std::size_t pos = path.find_first_of("\\/", root); ; pos = path.find_first_of("\\/", pos + 1)) {
        const std::string level = pos == std::string::npos ? path : path.substr(0, pos);
        if (level.size() > root && !CreateDirectoryW(Wide(level).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_ACCESS_DENIED) {
            error = Reason("cannot create " + level, GetLastError());
            return false;
        }
        if (pos == std::string::npos) return true;
    }
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

PrivateFolder::~PrivateFolder() { CloseIf(handle_); }

bool PrivateFolder::IsOpen() const { return handle_ != nullptr; }

PrivateResult PrivateFolder::Open(const std::string& path, bool create, std::string& error) {
    CloseIf(handle_);
    if (path.empty()) {
        error = "no folder";
        return PrivateResult::Refused;
    }
    if (create && !CreateMissingLevels(path, error)) return PrivateResult::Refused;
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (IsMissing(e)) return PrivateResult::Missing;
        error = Reason("cannot open the folder " + path, e);
        return PrivateResult::Refused;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        error = "the folder " + path + " is a link or not a folder";
        return PrivateResult::Refused;
    }
    handle_ = h;
    path_ = path;
    while (path_.size() > 3 && (path_.back() == '\\' || path_.back() == '/')) path_.pop_back();
    return PrivateResult::Done;
}

PrivateResult PrivateFolder::Rename(const std::string& from, const std::string& to, std::string& error) const {
    if (!handle_) return error = "the folder is not open", PrivateResult::Refused;
    if (MoveFileExW(Wide(path_ + "\\" + from).c_str(), Wide(path_ + "\\" + to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return PrivateResult::Done;
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND) return PrivateResult::Missing;
    error = Reason("cannot rename " + from + " to " + to, e);
    return PrivateResult::Refused;
}

PrivateResult PrivateFolder::ReadFile(const std::string& name, std::size_t maxBytes, std::string& bytes, std::string& error) const {
    bytes.clear();
    if (!handle_) return error = "the folder is not open", PrivateResult::Refused;
    const std::string path = path_ + "\\" + name;
    Handle h(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid()) {
        const DWORD e = GetLastError();
        if (IsMissing(e)) return PrivateResult::Missing;
        error = Reason("cannot open " + path, e);
        return PrivateResult::Refused;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h.get(), &info) || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        GetFileType(h.get()) != FILE_TYPE_DISK) {
        error = path + " is a link or not a regular file";
        return PrivateResult::Refused;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > maxBytes) {
        error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
        return PrivateResult::Refused;
    }
    char buffer[64 * 1024];
    while (true) {
        DWORD n = 0;
        if (!::ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr)) {
            error = Reason("cannot read " + path, GetLastError());
            return PrivateResult::Refused;
        }
        if (n == 0) break;
        bytes.append(buffer, n);
        if (bytes.size() > maxBytes) {
            error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
            return PrivateResult::Refused;
        }
    }
    return PrivateResult::Done;
}

PrivateAppendFile::~PrivateAppendFile() { CloseIf(handle_); }

bool PrivateAppendFile::Open(const PrivateFolder& folder, const std::string& name, std::string& error) {
    CloseIf(handle_);
    if (!folder.handle_) return error = "the folder is not open", false;
    const std::string path = folder.path_ + "\\" + name;
    HANDLE h = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return error = Reason("cannot open " + path, GetLastError()), false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return error = path + " is a link or not a regular file", false;
    }
    handle_ = h;
    return true;
}

std::uint64_t PrivateAppendFile::Size() const {
    LARGE_INTEGER size{};
    return handle_ && GetFileSizeEx(static_cast<HANDLE>(handle_), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

bool PrivateAppendFile::EndsWithNewline() const {
    const std::uint64_t size = Size();
    if (size == 0) return true;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size - 1);
    at.OffsetHigh = static_cast<DWORD>((size - 1) >> 32);
    char last = 0;
    DWORD n = 0;
    return ::ReadFile(static_cast<HANDLE>(handle_), &last, 1, &n, &at) && n == 1 && last == '\n';
}

bool PrivateAppendFile::Append(std::string_view bytes, std::string& error) {
    DWORD n = 0;
    // One write of the whole: appends of several processes never interleave.
    if (!handle_ || !WriteFile(static_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) ||
        n != bytes.size())
        return error = Reason("cannot append", GetLastError()), false;
    return true;
}

bool PrivateAppendFile::Lock() {
    OVERLAPPED all{};
    return handle_ && LockFileEx(static_cast<HANDLE>(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &all);
}

bool PrivateAppendFile::IsNamed(const PrivateFolder& folder, const std::string& name) const {
    if (!handle_ || !folder.handle_) return false;
    Handle other(CreateFileW(Wide(folder.path_ + "\\" + name).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return other.valid() && SameFile(other.get(), static_cast<HANDLE>(handle_));
}

std::string HostName() {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(buf, &n) ? win32::Utf8(std::wstring_view(buf, n)) : std::string();
}

std::string UserName() {
    wchar_t buf[257];
    DWORD n = 257;
    return GetUserNameW(buf, &n) && n > 0 ? win32::Utf8(std::wstring_view(buf, n - 1)) : std::string();
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace pvd
