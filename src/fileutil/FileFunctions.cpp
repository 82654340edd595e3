#include "fileutil/FileFunctions.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cerrno>

#include "platform/environment.h"
#include "platform/text.h"
#include "settings/registry.h"

namespace pvd {
namespace {

bool g_fileSystemCreated = false;

bool IsUnc(const std::string& path) { return path.size() >= 2 && path[0] == '\\' && path[1] == '\\'; }

// statfs of the path, or of its nearest existing ancestor: the "drive" that
// holds a path is the file system it would be created on.
bool StatFsOfDrive(const std::string& path, struct statfs& out) {
    if (path.empty()) return false;
    std::string p = path;
    while (true) {
        if (statfs(p.c_str(), &out) == 0) return true;
        if (errno != ENOENT && errno != ENOTDIR) return false;
        auto slash = p.find_last_of(kPathSeparator);
        if (slash == std::string::npos) return statfs(".", &out) == 0;
        if (slash == 0) return statfs("/", &out) == 0;
        p.resize(slash);
    }
}

}  // namespace

int DriveTypeOfFileSystem(std::int64_t magic) {
    switch (static_cast<std::uint32_t>(magic)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x5346414F:  // AFS
    case 0x00C36400:  // Ceph
    case 0x47504653:  // GPFS
    case 0x65735546:  // FUSE (sshfs and other remote mounts)
    case 0x564C:      // NCP
    case 0x6B414653:  // AFS (kafs)
        return kDriveNetwork;
    case 0x9660:      // ISO 9660
    case 0x15013346:  // UDF
        return kDriveCdRom;
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
        return kDriveRam;
    default:
        return kDriveFixed;
    }
}

void InitFileSystem() { g_fileSystemCreated = true; }

bool FileExistsQuiet(const std::string& path) {
    InitFileSystem();
    struct stat st{};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExistsQuiet(const std::string& path) {
    InitFileSystem();
    struct stat st{};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileDate GetFileModifiedDate(const std::string& path) {
    InitFileSystem();
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    return static_cast<FileDate>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

bool DriveIsReady(const std::string& path) {
    struct statfs fs{};
    return !IsUnc(path) && StatFsOfDrive(path, fs);
}

int GetPathDriveType(const std::string& path) {
    if (IsUnc(path)) return kDriveNetwork;
    struct statfs fs{};
    if (!StatFsOfDrive(path, fs)) return kDriveNetwork;
    return DriveTypeOfFileSystem(static_cast<std::int64_t>(fs.f_type));
}

bool HasDriveLetter(const std::string& path) {
    // POSIX paths have no drive letters; only a path written as "X:..." has one.
    return !IsUnc(path) && path.size() >= 2 && path[1] == ':';
}

bool IsFixedDrive(const std::string& path) {
    InitFileSystem();
    if (IsUnc(path)) return false;
    struct statfs fs{};
    return StatFsOfDrive(path, fs) && DriveTypeOfFileSystem(static_cast<std::int64_t>(fs.f_type)) == kDriveFixed;
}

std::string GetMappedDriveRemotePath(const std::string& path) {
    if (path.empty()) return {};
    return ReadRegistryText(RegistryRoot::CurrentUser, std::string("Network\\") + path[0], "RemotePath");
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
    // The root is "/" for an absolute path and nothing for a relative one.
    std::string current = path.front() == kPathSeparator ? std::string(1, kPathSeparator) : std::string();
    std::string rest = path.substr(current.size());
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find(kPathSeparator, start);
        std::string part = TrimSpaces(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
        current += part;
        current += kPathSeparator;
        if (!part.empty() && !FolderExistsQuiet(current) && mkdir(current.c_str(), 0700) != 0 && errno != EEXIST)
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
