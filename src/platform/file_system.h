// Files, folders and drives as the platform's file system answers: the
// questions that the file-system helpers ask, with no answer invented here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pvd {

// Drive types: 0 unknown, 1 removable, 2 fixed, 3 network, 4 CD-ROM, 5 RAM disk.
enum DriveType : int { kDriveUnknown = 0, kDriveRemovable = 1, kDriveFixed = 2, kDriveNetwork = 3, kDriveCdRom = 4, kDriveRam = 5 };

enum class PathType { Missing, File, Folder };

// What the path names (links followed).
PathType TypeOfPath(const std::string& path);

// A file's modification time in nanoseconds since the epoch, at the file
// system's own resolution; 0 for a folder or when there is none.
std::int64_t FileModificationTimeNs(const std::string& path);

// Creates one folder, private to the user; true when it was made or a folder
// was already there.
bool MakePrivateFolder(const std::string& path);

// The part of a path that names its root ("/" on POSIX; "C:\" or
// "\\server\share\" on Windows); "" for a relative path.
std::string PathRoot(const std::string& path);

// A path taken apart at its last separator: the folder ("." for a bare name;
// a root keeps its separator: "/", "\", "C:\") and the last part.
void SplitPath(const std::string& path, std::string& folder, std::string& name);
std::string FolderOf(const std::string& path);

// The drive that holds a path, or would hold it once created.
struct DriveState {
    bool ready = false;     // its file system answers
    int type = kDriveUnknown;  // on POSIX a file system that does not answer counts as a network drive
};
DriveState DriveOfPath(const std::string& path);

// The files among `names` in `folder` that another process holds open so
// that they cannot be replaced or deleted now, each as "name: reason". A
// file or folder that does not exist is not held. POSIX locks no open file
// against replacement: none is held there.
std::vector<std::string> FilesInUse(const std::string& folder, const std::vector<std::string>& names);

}  // namespace pvd
