// The format library's files on Windows: a new dictation is built in a
// hidden temporary held open without delete sharing (so no sweep can take
// it), then given its name by a move that never replaces (MoveFileExW
// without MOVEFILE_REPLACE_EXISTING: ERROR_ALREADY_EXISTS when the name is
// taken). Paths are UTF-8, converted for the wide API.
#include <windows.h>

#include <random>
#include <string>

#include "../../win32_wide.h"
#include "../file_ops.h"
#include "vnfformat.h"

namespace vnf {

int Fail(const char* step, int status) {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words(text ? text : L"", n);
    if (text) LocalFree(text);
    while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ')) words.pop_back();
    if (words.empty()) words = L"error " + std::to_wstring(code);
    std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, words.data(), static_cast<int>(words.size()), nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, words.data(), static_cast<int>(words.size()), utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
    SetLastFailure(std::string(step) + ": " + utf8);
    SetLastError(code);
    return status;
}

namespace {

using vnf_libs::Wide;

HANDLE H(NativeFile f) { return reinterpret_cast<HANDLE>(f); }
NativeFile F(HANDLE h) { return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<NativeFile>(h); }

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash == 2 && path[1] == ':' ? 3 : slash);
}

std::string RandomPart() {
    static std::mt19937_64 random(std::random_device{}() ^ GetCurrentProcessId() ^ GetTickCount64());
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s;
    for (int i = 0; i < 6; ++i) s += digits[random() % 36];
    return s;
}

// A new hidden temporary beside the target, open for writing and shared for
// reading only; "" when none can be made.
std::string MakeTemp(const std::string& path, HANDLE& h) {
    const std::string folder = FolderOf(path);
    for (int attempt = 0; attempt < 32; ++attempt) {
        const std::string tmp = folder + "\\" + kTempPrefix + RandomPart() + kTempSuffix;
        h = CreateFileW(Wide(tmp).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (h != INVALID_HANDLE_VALUE) return tmp;
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    Fail("create the file");
    h = INVALID_HANDLE_VALUE;
    return {};
}

bool WriteAll(HANDLE h, const std::string& bytes) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) return Fail("save the file", false);
    for (std::size_t done = 0; done < bytes.size();) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (!WriteFile(h, bytes.data() + done, chunk, &n, nullptr)) return Fail("save the file", false);
        if (n == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return Fail("save the file", false);
        }
        done += n;
    }
    return SetEndOfFile(h) != 0 || Fail("save the file", false);
}

}  // namespace

bool PathIsFree(const std::string& path) {
    // Attributes of the name itself: a dangling link is something too.
    if (path.empty() || path.back() == '/' || path.back() == '\\') SetLastError(ERROR_INVALID_NAME);
    else if (GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_FILE_EXISTS);
    else if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    return Fail("create the file", false);
}

bool OpenUnpublished(const std::string& path, NativeFile& file, std::string& tempPath) {
    HANDLE h = INVALID_HANDLE_VALUE;
    tempPath = MakeTemp(path, h);
    file = F(h);
    return !tempPath.empty();
}

bool WriteFrom0(NativeFile file, const std::string& bytes) { return WriteAll(H(file), bytes); }

int PublishNoReplace(NativeFile& file, std::string& tempPath, const std::string& path, const std::string&) {
    if (tempPath.empty()) return VNF_E_IO;
    if (!FlushFileBuffers(H(file))) return Fail("save the file");
    // Published as a plain file: the hidden attribute belongs to the temporary.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(H(file), FileBasicInfo, &basic, sizeof basic)) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(H(file), FileBasicInfo, &basic, sizeof basic);
    }
    CloseHandle(H(file));
    file = kNoFile;
    if (!MoveFileExW(Wide(tempPath).c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD e = GetLastError();
        const int status = Fail("publish the file under its name", e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS ? VNF_E_EXISTS : VNF_E_IO);
        DeleteFileW(Wide(tempPath).c_str());
        tempPath.clear();
        return status;
    }
    tempPath.clear();
    return VNF_OK;
}

int ReplaceAtomically(const std::string& path, const std::string& bytes) {
    HANDLE h = INVALID_HANDLE_VALUE;
    const std::string tmp = MakeTemp(path, h);
    if (tmp.empty()) return VNF_E_IO;
    const bool written = WriteAll(h, bytes) && (FlushFileBuffers(h) || Fail("save the file", false));
    CloseHandle(h);
    SetFileAttributesW(Wide(tmp).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!written || (!MoveFileExW(Wide(tmp).c_str(), Wide(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) &&
                     Fail("save the file", true))) {
        DeleteFileW(Wide(tmp).c_str());
        return VNF_E_IO;
    }
    return VNF_OK;
}

void Discard(NativeFile& file, const std::string& tempPath) {
    if (file != kNoFile) CloseHandle(H(file));
    file = kNoFile;
    if (!tempPath.empty()) DeleteFileW(Wide(tempPath).c_str());
}

NativeFile OpenForReading(const std::string& path, std::uint64_t& size) {
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoFile;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return kNoFile;
    }
    size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return F(h);
}

bool ReadAt(NativeFile file, std::uint64_t pos, void* out, std::size_t n) {
    auto* p = static_cast<char*>(out);
    for (std::size_t done = 0; done < n;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(pos + done);
        at.OffsetHigh = static_cast<DWORD>((pos + done) >> 32);
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
        if (!ReadFile(H(file), p + done, chunk, &got, &at) || got == 0) return false;
        done += got;
    }
    return true;
}

void Close(NativeFile file) {
    if (file != kNoFile) CloseHandle(H(file));
}

std::int32_t RemoveStaleTemporaries(const char* folder) {
    if (!folder || !*folder) return 0;
    const std::string base = folder;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Wide(base + "\\" + kTempPrefix + "*" + kTempSuffix).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    FILETIME nowFt;
    GetSystemTimeAsFileTime(&nowFt);
    auto ticks = [](const FILETIME& t) { return (static_cast<std::int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    std::int32_t removed = 0;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (ticks(nowFt) - ticks(found.ftLastWriteTime) < kStaleSeconds * 10'000'000) continue;
        // A temporary that a live process holds open cannot be deleted.
        if (DeleteFileW((Wide(base) + L"\\" + found.cFileName).c_str())) ++removed;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return removed;
}

void KillProcess() {
    TerminateProcess(GetCurrentProcess(), 137);
    ExitProcess(137);
}

}  // namespace vnf
