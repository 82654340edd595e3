#include "platform/private_file.h"
#include "platform/file_system.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pvd {
namespace {

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// The parent and the last part of a folder's path, trailing slashes aside.
void SplitFolderPath(std::string path, std::string& parent, std::string& name) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    pvd::SplitPath(path, parent, name);
}

// mkdir -p with 0700 for each level that is missing.
bool CreateMissingLevels(const std::string& path, std::string& error) {
    for (std::size_t end = 1; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/') continue;
        const std::string level = path.substr(0, end);
        struct stat st{};
        if (stat(level.c_str(), &st) == 0) continue;
        if (errno != ENOENT) return error = Reason(level), false;
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return error = Reason("cannot create " + level), false;
    }
    return true;
}

// Every level of a resolved path can be changed only by this user or root.
bool LevelsAreTrusted(const std::string& resolved, std::string& error) {
    const uid_t me = geteuid();
    for (std::size_t end = 1; end <= resolved.size(); ++end) {
        if (end < resolved.size() && resolved[end] != '/') continue;
        const std::string level = resolved.substr(0, end);
        struct stat st{};
        if (stat(level.c_str(), &st) != 0) return error = Reason(level), false;
        if (st.st_uid != me && st.st_uid != 0) return error = level + " belongs to another user", false;
        if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
            return error = level + " can be written by other users", false;
    }
    return true;
}

bool OwnedByMe(const struct stat& st) { return st.st_uid == geteuid(); }

}  // namespace

PrivateFolder::~PrivateFolder() { CloseFd(fd_); }

bool PrivateFolder::IsOpen() const { return fd_ >= 0; }

PrivateResult PrivateFolder::Open(const std::string& path, bool create, std::string& error) {
    CloseFd(fd_);
    if (path.empty()) return error = "no folder", PrivateResult::Refused;
    if (create && !CreateMissingLevels(path, error)) return PrivateResult::Refused;
    std::string parent, name;
    SplitFolderPath(path, parent, name);
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return error = path + " does not exist", PrivateResult::Missing;
        return error = Reason(path), PrivateResult::Refused;
    }
    if (S_ISLNK(st.st_mode)) return error = path + " is a link", PrivateResult::Refused;
    char resolved[PATH_MAX];
    if (!realpath(parent.c_str(), resolved)) return error = Reason(parent), PrivateResult::Refused;
    if (!LevelsAreTrusted(resolved, error)) return PrivateResult::Refused;
    int parentFd = open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return error = Reason(resolved), PrivateResult::Refused;
    // The levels above are trusted now; the folder itself is opened without
    // following a link, so what is checked below is what is used.
    int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int openErrno = errno;
    close(parentFd);
    if (fd < 0) {
        // A link put there since the check: ELOOP, or ENOTDIR beside O_DIRECTORY.
        const bool link = openErrno == ELOOP || (openErrno == ENOTDIR && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        if (link) return error = path + " is a link", PrivateResult::Refused;
        errno = openErrno;
        if (errno == ENOENT) return error = path + " does not exist", PrivateResult::Missing;
        return error = Reason(path), PrivateResult::Refused;
    }
    if (fstat(fd, &st) != 0) {
        error = Reason(path);
        close(fd);
        return PrivateResult::Refused;
    }
    if (!OwnedByMe(st)) error = path + " belongs to another user";
    else if (st.st_mode & (S_IWGRP | S_IWOTH)) error = path + " can be written by other users";
    else if ((st.st_mode & 077) && fchmod(fd, 0700) != 0) error = Reason("cannot make " + path + " private");
    else {
        fd_ = fd;
        return PrivateResult::Done;
    }
    close(fd);
    return PrivateResult::Refused;
}

PrivateResult PrivateFolder::Rename(const std::string& from, const std::string& to, std::string& error) const {
    if (renameat(fd_, from.c_str(), fd_, to.c_str()) == 0) return PrivateResult::Done;
    if (errno == ENOENT) return PrivateResult::Missing;
    error = Reason("cannot rename " + from + " to " + to);
    return PrivateResult::Refused;
}

PrivateResult PrivateFolder::ReadFile(const std::string& name, std::size_t maxBytes, std::string& bytes,
                                      std::string& error) const {
    bytes.clear();
    int fd = openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return PrivateResult::Missing;
        error = errno == ELOOP ? name + " is a link" : Reason(name);
        return PrivateResult::Refused;
    }
    auto refuse = [&](std::string why) {
        close(fd);
        bytes.clear();
        error = std::move(why);
        return PrivateResult::Refused;
    };
    struct stat st{};
    if (fstat(fd, &st) != 0) return refuse(Reason(name));
    if (!S_ISREG(st.st_mode)) return refuse(name + " is not a regular file");
    if (!OwnedByMe(st)) return refuse(name + " belongs to another user");
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        return refuse(name + " is larger than " + std::to_string(maxBytes) + " bytes");
    char buffer[64 * 1024];
    while (true) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(Reason(name));
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) return refuse(name + " is larger than " + std::to_string(maxBytes) + " bytes");
    }
    close(fd);
    return PrivateResult::Done;
}

PrivateAppendFile::~PrivateAppendFile() { CloseFd(fd_); }

bool PrivateAppendFile::Open(const PrivateFolder& folder, const std::string& name, std::string& error) {
    CloseFd(fd_);
    // O_NONBLOCK: a FIFO put in its place fails at once instead of hanging us.
    // Read and write: the last byte is read to see whether a torn line ends it.
    int fd = openat(folder.fd_, name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    0600);
    if (fd < 0) return error = errno == ELOOP ? name + " is a link" : Reason(name), false;
    struct stat st{};
    if (fstat(fd, &st) != 0) error = Reason(name);
    else if (!S_ISREG(st.st_mode)) error = name + " is not a regular file";
    else if (!OwnedByMe(st)) error = name + " belongs to another user";
    else if ((st.st_mode & 077) && fchmod(fd, 0600) != 0) error = Reason("cannot make " + name + " private");
    else {
        fd_ = fd;
        return true;
    }
    close(fd);
    return false;
}

std::uint64_t PrivateAppendFile::Size() const {
    struct stat st{};
    return fd_ >= 0 && fstat(fd_, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

bool PrivateAppendFile::EndsWithNewline() const {
    const std::uint64_t size = Size();
    if (size == 0) return true;
    char last = '\n';
    const bool read = pread(fd_, &last, 1, static_cast<off_t>(size - 1)) == 1;
    return !read || last == '\n';
}

bool PrivateAppendFile::Append(std::string_view bytes, std::string& error) {
    ssize_t n;
    do n = write(fd_, bytes.data(), bytes.size());
    while (n < 0 && errno == EINTR);
    if (n < 0) return error = Reason("cannot write"), false;
    if (static_cast<std::size_t>(n) != bytes.size())
        return error = "wrote " + std::to_string(n) + " of " + std::to_string(bytes.size()) + " bytes", false;
    return true;
}

bool PrivateAppendFile::Lock() {
    int r;
    do r = flock(fd_, LOCK_EX);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

bool PrivateAppendFile::IsNamed(const PrivateFolder& folder, const std::string& name) const {
    struct stat mine{}, named{};
    return fstat(fd_, &mine) == 0 && fstatat(folder.fd_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string UserName() {
    std::vector<char> buffer(16 * 1024);
    struct passwd pw{};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user && *user ? std::string(user) : std::to_string(geteuid());
}

long ProcessId() { return static_cast<long>(getpid()); }

}  // namespace pvd
