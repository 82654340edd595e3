// Questions about files, folders and drives, with a fixed answer whenever the
// question cannot be answered.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "platform/log_sink.h"

namespace pvd {

// A file's modification time in nanoseconds since the epoch, at the file
// system's own resolution; 0 when there is none.
using FileDate = std::int64_t;


void InitFileSystem();
bool FileExistsQuiet(const std::string& path);
bool FolderExistsQuiet(const std::string& path);
FileDate GetFileModifiedDate(const std::string& path);
bool DriveIsReady(const std::string& path);
int GetPathDriveType(const std::string& path);
bool HasDriveLetter(const std::string& path);
bool IsFixedDrive(const std::string& path);
std::string GetMappedDriveRemotePath(const std::string& path);
std::string ResolveMappedDrive(const std::string& path, bool force);
// Folders it creates are private to the user (0700).
bool CreateFolderPath(const std::string& path);
void EnsureTempFolder(const std::string& path, LogSink& log);

}  // namespace pvd
