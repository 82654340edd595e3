// Files, folders and drives through the wide-character file API. A drive is
// the volume named by the path's root.
#include "platform/file_system.h"

#include <windows.h>

#include "platform/win32/text_encoding.h"

namespace pvd {

PathType TypeOfPath(const std::string& path) {
    if (path.empty()) return PathType::Missing;
    const DWORD a = GetFileAttributesW(win32::Wide(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return PathType::Missing;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathType::Folder : PathType::File;
}

std::int64_t FileModificationTimeNs(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    if (path.empty() || !GetFileAttributesExW(win32::Wide(path).c_str(), GetFileExInfoStandard, &d)) return 0;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    return win32::FileTimeToUnixNs(d.ftLastWriteTime);
}

bool MakePrivateFolder(const std::string& path) {
    // The new folder inherits the ACL of the user's folders above it.
    return CreateDirectoryW(win32::Wide(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::string PathRoot(const std::string& path) {
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 2 && path[1] == ':') return path.size() >= 3 && sep(path[2]) ? path.substr(0, 3) : path.substr(0, 2);
    if (path.size() >= 2 && sep(path[0]) && sep(path[1])) {
        // \\server\share\ is the root of a UNC path.
        auto server = path.find_first_of("\\/", 2);
        if (server == std::string::npos) return path + "\\";
        auto share = path.find_first_of("\\/", server + 1);
        return share == std::string::npos ? path + "\\" : path.substr(0, share + 1);
    }
    return sep(path.empty() ? 'x' : path[0]) ? path.substr(0, 1) : std::string();
}

DriveState DriveOfPath(const std::string& path) {
    // No path names no drive: never the current folder's, as a relative one would.
    if (path.empty()) return {false, kDriveUnknown};
    std::string root = PathRoot(path);
    if (root.empty()) {
        // A relative path lies on the current folder's drive.
        wchar_t cwd[MAX_PATH];
        const DWORD n = GetCurrentDirectoryW(MAX_PATH, cwd);
        if (n == 0 || n >= MAX_PATH) return {false, kDriveUnknown};
        root = PathRoot(win32::Utf8(std::wstring_view(cwd, n)));
    }
    if (root.size() == 2) root += '\\';
    const std::wstring w = win32::Wide(root);
    int type = kDriveUnknown;
    switch (GetDriveTypeW(w.c_str())) {
    case DRIVE_REMOVABLE: type = kDriveRemovable; break;
    case DRIVE_FIXED: type = kDriveFixed; break;
    case DRIVE_REMOTE: type = kDriveNetwork; break;
    case DRIVE_CDROM: type = kDriveCdRom; break;
    case DRIVE_RAMDISK: type = kDriveRam; break;
    default: break;
    }
    // Ready when its volume answers (a drive letter without a disk does not).
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    const bool ready = GetVolumeInformationW(w.c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != 0;
    SetErrorMode(oldMode);
    return {ready, type};
}

std::vector<std::string> FilesInUse(const std::string& folder, const std::vector<std::string>& names) {
    std::vector<std::string> held;
    if (folder.empty()) return held;
    // A program that has just ended may keep its files for a moment: a file
    // is held only when it stays so for a while.
    const ULONGLONG deadline = GetTickCount64() + 3000;
    for (const std::string& name : names) {
        const std::wstring path = win32::Wide(folder + "\\" + name);
        while (true) {
            HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
                break;
            }
            const DWORD e = GetLastError();
            if (e != ERROR_SHARING_VIOLATION && e != ERROR_LOCK_VIOLATION) break;  // absent, or not ours to judge
            if (GetTickCount64() < deadline) {
                Sleep(100);
                continue;
            }
            held.push_back(name + ": " + win32::ErrorText(e));
            break;
        }
    }
    return held;
}

}  // namespace pvd
