// Files, folders and drives through stat, mkdir and statfs. A POSIX "drive"
// is the file system that holds a path.
#include "platform/file_system.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cerrno>

#include "platform/posix/statfs_drive_type.h"

namespace pvd {
namespace {

// statfs of the path, or of its nearest existing ancestor: the "drive" that
// holds a path is the file system it would be created on.
bool StatFsOfDrive(const std::string& path, struct statfs& out) {
    if (path.empty()) return false;
    std::string p = path;
    while (true) {
        if (statfs(p.c_str(), &out) == 0) return true;
        if (errno != ENOENT && errno != ENOTDIR) return false;
        auto slash = p.find_last_of('/');
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

PathType TypeOfPath(const std::string& path) {
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0) return PathType::Missing;
    return S_ISDIR(st.st_mode) ? PathType::Folder : PathType::File;
}

std::int64_t FileModificationTimeNs(const std::string& path) {
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

bool MakePrivateFolder(const std::string& path) { return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST; }

std::string PathRoot(const std::string& path) { return !path.empty() && path.front() == '/' ? "/" : ""; }

DriveState DriveOfPath(const std::string& path) {
    struct statfs fs{};
    if (!StatFsOfDrive(path, fs)) return {false, kDriveNetwork};
    return {true, DriveTypeOfFileSystem(static_cast<std::int64_t>(fs.f_type))};
}

std::vector<std::string> FilesInUse(const std::string&, const std::vector<std::string>&) { return {}; }

}  // namespace pvd
