// Files that only this user can read or change, in a folder that only this
// user can change. Another local user who creates such a folder first, or
// puts a link where one of its files belongs, never gets this program to
// write through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pvd {

enum class PrivateResult { Done, Missing, Refused };

// A folder that only this user can change, held open: every operation on the
// files in it goes through the open folder, so a link or a rename of a level
// above cannot redirect them afterwards.
class PrivateFolder {
public:
    PrivateFolder() = default;
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    // Opens the folder `path`; with `create`, every missing level is made
    // first, 0700. Refused, with the reason in `error`, when the folder is a
    // link or not a folder, belongs to another user, or can be written by
    // group or others; or when a level above it belongs to a user other than
    // this one and root, or can be written by everyone without the sticky
    // bit. Above the folder, links are followed (they are the user's own
    // configuration) and a group-writable level is accepted (user private
    // groups make those common). A folder that others may read or enter is
    // made 0700.
    PrivateResult Open(const std::string& path, bool create, std::string& error);
    bool IsOpen() const;

    // Renames the entry `from` to `to`, replacing `to`; Missing when there is
    // no `from`.
    PrivateResult Rename(const std::string& from, const std::string& to, std::string& error) const;

    // Reads the file `name` whole: a regular file of this user, never through
    // a link, opened without blocking, at most maxBytes.
    PrivateResult ReadFile(const std::string& name, std::size_t maxBytes, std::string& bytes, std::string& error) const;

private:
    friend class PrivateAppendFile;
#ifdef _WIN32
    void* handle_ = nullptr;  // the folder, held open so that it cannot be renamed or removed
    std::string path_;
#else
    int fd_ = -1;
#endif
};

// A file of a private folder, open for appending.
class PrivateAppendFile {
public:
    PrivateAppendFile() = default;
    ~PrivateAppendFile();
    PrivateAppendFile(const PrivateAppendFile&) = delete;
    PrivateAppendFile& operator=(const PrivateAppendFile&) = delete;

    // Opens `name` in `folder`, creating it 0600. Refused when it is a link or
    // not a regular file or belongs to another user; one that others may read
    // is made 0600.
    bool Open(const PrivateFolder& folder, const std::string& name, std::string& error);
    // Its size now; 0 when it cannot be read.
    std::uint64_t Size() const;
    // Whether it is empty or its last byte is a line feed.
    bool EndsWithNewline() const;
    // Appends with a single write, so that the lines of several processes
    // appending at once never interleave.
    bool Append(std::string_view bytes, std::string& error);
    // Waits for the exclusive lock of this file, released when it is closed.
    bool Lock();
    // Whether `name` in `folder` is still this file, not renamed or replaced.
    bool IsNamed(const PrivateFolder& folder, const std::string& name) const;

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Who writes: the host's name, the user's login name, this process.
std::string HostName();
std::string UserName();
long ProcessId();

}  // namespace pvd
