// The file operations of the format library, one half per platform: how a
// dictation file is built unnamed or under a hidden temporary name, published
// without replacing anything, replaced atomically, and read.
#pragma once

#include <cstdint>
#include <string>

#include "vnfformat.h"

namespace vnf {

// An open file of the platform (a descriptor, or a HANDLE); kNoFile for none.
using NativeFile = std::intptr_t;
inline constexpr NativeFile kNoFile = -1;

// Hidden temporaries are short, so that any dictation name the file system
// can hold can also be created, and recognisable, so that a later sweep can
// remove what a crashed process left.
inline constexpr const char* kTempPrefix = ".vnf-";
inline constexpr const char* kTempSuffix = ".tmp";
// A hidden temporary this old and held by nobody was left by a process that died.
inline constexpr std::int64_t kStaleSeconds = 60;

// Where names can only be given by a plain rename (no unnamed files, no
// no-replace rename, no links: exFAT and many FUSE mounts), every publish of
// ours into the folder holds an exclusive lock on this file for its check
// that the name is free and its rename. Hidden, and no temporary: the sweep
// leaves it, and it never has a dictation file's name.
inline constexpr const char* kPublishLock = ".vnf-publish.lock";

// Keeps the process's last failure: the step and the system's own words
// for it, "save the file: No space left on device".
void SetLastFailure(std::string why);

// Records step with the system's error of this moment (errno, or
// GetLastError); returns status.
int Fail(const char* step, int status = VNF_E_IO);

// Nothing is at the path (not even a dangling link), and it does not end
// with a separator: a new file may take the name. Otherwise records why not.
bool PathIsFree(const std::string& path);

// The file a new dictation is built in before it has a name: unnamed where
// the file system allows it, so that a crash leaves nothing behind, else a
// hidden temporary (its name in tempPath).
bool OpenUnpublished(const std::string& path, NativeFile& file, std::string& tempPath);

// Writes the whole content from offset 0 and cuts the file there.
bool WriteFrom0(NativeFile file, const std::string& bytes);

// Puts the unpublished file under its name, complete and durable, never
// replacing anything there: a VNF_ status. On success the file is closed and
// tempPath cleared. lastBytes is the content, for a platform that must
// write it once more.
int PublishNoReplace(NativeFile& file, std::string& tempPath, const std::string& path, const std::string& lastBytes);

// A save of a published file: a new hidden temporary moved over it.
int ReplaceAtomically(const std::string& path, const std::string& bytes);

// Closes an unpublished file and removes its hidden temporary.
void Discard(NativeFile& file, const std::string& tempPath);

// Opens a regular file for reading, never blocking on a FIFO or device.
NativeFile OpenForReading(const std::string& path, std::uint64_t& size);
bool ReadAt(NativeFile file, std::uint64_t pos, void* out, std::size_t n);
void Close(NativeFile file);

// Removes the hidden temporaries that crashed processes left in the folder.
std::int32_t RemoveStaleTemporaries(const char* folder);

// Ends the process at once, as a crash would (the test build's kill point).
[[noreturn]] void KillProcess();

}  // namespace vnf
