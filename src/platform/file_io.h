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

// What a path itself names, links not followed.
enum class PathKind { Missing, RegularFile, Other };
PathKind LinkKind(const std::string& path);

// Reads a whole regular file of at most maxBytes. Links are followed, but
// only a regular file is ever read, and it is opened without blocking: a
// FIFO or a device at the path fails at once. False, with the reason in
// `error` when one is asked for, when it is missing, unreadable, not a
// regular file or larger. `identity`, when asked for, is the identity of
// the file that was read, taken from the open file before reading it;
// `stable` (when asked for) is false when the file changed while it was read.
bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error = nullptr,
                   FileIdentity* identity = nullptr, bool* stable = nullptr);

// Replaces the file's content atomically: a temporary file in the same
// folder, flushed to disk, then renamed over the target. Readers see the old
// or the new content, never a mixture; a failure leaves the old file.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace pvd
