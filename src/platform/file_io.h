#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pvd {

// Which version of a file is there: any change of content, by a rewrite in
// place or by a file moved over it, changes at least one of these (a clock
// set back or a copy that keeps its timestamps still changes the change
// time or the file id).
struct FileIdentity {
    bool exists = false;
    bool regular = false;  // a regular file, the only kind that is ever read
    std::uint64_t device = 0;
    std::uint64_t fileId = 0;  // inode number
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;  // modification time, nanoseconds since the epoch
    std::int64_t ctimeNs = 0;  // change time
    bool operator==(const FileIdentity&) const = default;
};

// The identity of what the path names now (links followed); `exists` false
// when there is nothing there.
FileIdentity StatFileIdentity(const std::string& path);

// What a path itself names, links not followed; Unknown when it cannot be
// looked at (a folder without permission, a name too long).
enum class PathKind { Missing, RegularFile, Other, Unknown };
PathKind LinkKind(const std::string& path);

// Reads a whole regular file of at most maxBytes. Links are followed, but
// only a regular file is ever read, and it is opened without blocking: a
// FIFO or a device at the path fails at once. False, with the reason in
// `error` when one is asked for, when it is missing, unreadable, not a
// regular file or larger. `identity`, when asked for, is the identity of
// the file that was read, taken from the open file before reading it;
// `stable` (when asked for) is false when the file changed while it was read.
// `missing` (when asked for) is true when there is no such file or folder.
bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error = nullptr,
                   FileIdentity* identity = nullptr, bool* stable = nullptr, bool* missing = nullptr);

// True when a later rewrite of this version is sure to change its identity:
// its change time lies far enough in the past for the coarsest file-system
// clock. A cache keyed on the identity of a younger
// version could miss a rewrite of the same size within the same clock tick.
bool IdentityIsSettled(const FileIdentity& identity);

// A store (a settings file) as read at one moment. It read cleanly when it
// was read completely, or when there is no file (an empty store); a store
// that is unreadable, too large or not a regular file did not, and must
// never be written over.
struct StoreRead {
    bool clean = false;
    std::string bytes;
    std::string error;  // why it did not read cleanly
    FileIdentity identity;
};
StoreRead ReadStoreFile(const std::string& path, std::size_t maxBytes);

// Replaces the file's content atomically: a temporary file in the same
// folder, flushed to disk, then renamed over the target. Readers see the old
// or the new content, never a mixture; a failure leaves the old file. A path
// that is a link keeps its link: the file it leads to is replaced. A new file
// is private to the user (0600), an existing one keeps its mode; anything
// but a regular file is never written. False, with the reason in `error`
// when one is asked for, when nothing was replaced.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Appends to a file that only the user can reach, the activity log: the
// folder must belong to the user and not be writable by others (unless it is
// sticky), and the file must be the user's own regular file; a link is never
// followed. With truncate, the file is emptied first (only ever after those
// checks). Refused means the place is not safe; Failed, that it could not
// be written (no folder, a full disk).
enum class PrivateWrite { Written, Refused, Failed };
PrivateWrite AppendPrivateFile(const std::string& path, std::string_view bytes, bool truncate, std::string* why = nullptr);

// Why a folder is not fit for the user's private files (owned by another
// user, writable by others without the sticky bit); "" when it is, or when
// it does not exist yet.
std::string PrivateFolderProblem(const std::string& folder);

}  // namespace pvd
