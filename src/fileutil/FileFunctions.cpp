#include "fileutil/FileFunctions.h"

#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "settings/registry.h"

namespace pvd {
namespace {

bool g_fileSystemCreated = false;

bool IsUnc(const std::string& path) { return path.size() >= 2 && path[0] == '\\' && path[1] == '\\'; }

}  // namespace

void InitFileSystem() { g_fileSystemCreated = true; }

bool FileExistsQuiet(const std::string& path) {
    InitFileSystem();
    return TypeOfPath(path) == PathType::File;
}

bool FolderExistsQuiet(const std::string& path) {
    InitFileSystem();
    return TypeOfPath(path) == PathType::Folder;
}

FileDate GetFileModifiedDate(const std::string& path) {
    InitFileSystem();
    return FileModificationTimeNs(path);
}

bool DriveIsReady(const std::string& path) {
    return !IsUnc(path) && DriveOfPath(path).ready;
}

int GetPathDriveType(const std::string& path) {
    if (IsUnc(path)) return kDriveNetwork;
    return DriveOfPath(path).type;
}

bool HasDriveLetter(const std::string& path) {
    // POSIX paths have no drive letters; only a path written as "X:..." has one.
    return !IsUnc(path) && path.size() >= 2 && path[1] == ':';
}

bool IsFixedDrive(const std::string& path) {
    InitFileSystem();
    if (IsUnc(path)) return false;
    const DriveState d = DriveOfPath(path);
    return d.ready && d.type == kDriveFixed;
}

std::string GetMappedDriveRemotePath(const std::string& path) {
    if (path.empty()) return {};
    return ReadRegistryPath(RegistryRoot::CurrentUser, std::string("Network\\") + path[0], "RemotePath");
}

std::string ResolveMappedDrive(const std::string& path, bool force) {
    if (GetPathDriveType(path) != kDriveNetwork || !HasDriveLetter(path)) return path;
    if (DriveIsReady(path) && !force) return path;
    std::string remote = GetMappedDriveRemotePath(path);
    if (remote.empty()) return path;
    return remote + "\\" + path.substr(2);
}

bool CreateFolderPath(const std::string& path) {
    InitFileSystem();
    if (path.empty()) return false;
    // The root (/, C:\ or \\server\share\) is never made; nothing for a relative path.
    std::string current = PathRoot(path);
    std::string rest = path.substr(current.size());
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find(kPathSeparator, start);
        std::string part = TrimSpaces(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
        current += part;
        current += kPathSeparator;
        if (!part.empty() && !FolderExistsQuiet(current) && !MakePrivateFolder(current))
            return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return FolderExistsQuiet(path);
}

void EnsureTempFolder(const std::string& path, LogSink& log) {
    if (!FolderExistsQuiet(path) && !CreateFolderPath(path)) log.WriteLog("Unable to create Temp Path " + path);
}

}  // namespace pvd
