#include "platform/file_io.h"
#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace pvd {

namespace {

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity id;
    id.exists = true;
    id.regular = S_ISREG(st.st_mode);
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.fileId = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::int64_t>(st.st_size);
    id.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    id.ctimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return id;
}

}  // namespace

FileIdentity StatFileIdentity(const std::string& path) {
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0) return {};
    return IdentityOf(st);
}

PathKind LinkKind(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Unknown;
    return S_ISREG(st.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

namespace {

// Reads a whole regular file; `openErrno` gets the errno of a failed open.
bool ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error,
                     FileIdentity* identity, bool* stable, int* openErrno) {
    bytes.clear();
    if (identity) *identity = {};
    if (stable) *stable = true;
    if (openErrno) *openErrno = 0;
    int fd = -1;
    auto fail = [&](std::string why) {
        bytes.clear();
        if (fd >= 0) close(fd);
        if (error) *error = std::move(why);
        return false;
    };
    if (path.empty()) return fail("No file name");
    // O_NONBLOCK: opening a FIFO with no writer, or a device, must not hang us.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (openErrno) *openErrno = errno;
        return fail("Cannot open file " + path + ": " + std::strerror(errno));
    }
    struct stat before{};
    if (fstat(fd, &before) != 0) return fail("Cannot read file " + path + ": " + std::strerror(errno));
    if (!S_ISREG(before.st_mode)) return fail("File " + path + " is not a regular file");
    if (static_cast<std::uint64_t>(before.st_size) > maxBytes)
        return fail("File " + path + " is larger than " + std::to_string(maxBytes) + " bytes");
    bytes.reserve(static_cast<std::size_t>(before.st_size));
    char buffer[64 * 1024];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("Cannot read file " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > maxBytes) return fail("File " + path + " is larger than " + std::to_string(maxBytes) + " bytes");
    }
    struct stat after{};
    if (stable) *stable = fstat(fd, &after) == 0 && IdentityOf(after) == IdentityOf(before) &&
                          static_cast<std::int64_t>(bytes.size()) == static_cast<std::int64_t>(before.st_size);
    if (identity) *identity = IdentityOf(before);
    close(fd);
    return true;
}

// The path with every link in its last component followed, also a link whose
// target does not exist yet; "" when the links loop.
std::string FollowFinalLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st{};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(PATH_MAX, '\0');
        ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return {};
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : FolderOf(path) + "/" + target;
    }
    return {};
}

std::string FolderProblem(const struct stat& st, const std::string& folder) {
    if (st.st_uid != geteuid()) return "the folder " + folder + " belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
        return "the folder " + folder + " is writable by other users";
    return {};
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& bytes, std::string* error,
                   FileIdentity* identity, bool* stable, bool* missing) {
    int openErrno = 0;
    const bool read = ReadRegularFile(path, maxBytes, bytes, error, identity, stable, &openErrno);
    if (missing) *missing = !read && (openErrno == ENOENT);
    return read;
}

bool IdentityIsSettled(const FileIdentity& identity) {
    // FAT keeps modification times to 2 s; others are finer.
    constexpr std::int64_t kCoarsestTickNs = 2'000'000'000;
    struct timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    // Every change sets the change time to the present (a modification time
    // can be set back, the change time cannot), so only it needs to be old.
    return identity.exists && identity.ctimeNs < nowNs - kCoarsestTickNs;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (path.empty()) return fail("No file name");
    // A link stays a link: its target is what gets replaced.
    const std::string target = FollowFinalLinks(path);
    if (target.empty()) return fail("Too many links at " + path);
    mode_t mode = 0600;
    struct stat old{};
    if (lstat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) return fail("File " + target + " is not a regular file");
        mode = old.st_mode & 07777;
    } else if (errno != ENOENT) {
        return fail("Cannot reach " + target + ": " + std::strerror(errno));
    }
    std::string dir, name;
    SplitPath(target, dir, name);
    std::string tmp = dir + "/." + name + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail("Cannot create a file in " + dir + ": " + std::strerror(errno));
    bool ok = fchmod(fd, mode) == 0;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (ok) ok = std::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        unlink(tmp.c_str());
        return fail("Cannot write " + target + ": " + std::strerror(saved));
    }
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

std::string PrivateFolderProblem(const std::string& folder) {
    struct stat st{};
    if (folder.empty() || stat(folder.c_str(), &st) != 0) return {};
    if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
    return FolderProblem(st, folder);
}

PrivateWrite AppendPrivateFile(const std::string& path, std::string_view bytes, bool truncate, std::string* why) {
    auto refuse = [&](std::string reason) {
        if (why) *why = std::move(reason);
        return PrivateWrite::Refused;
    };
    if (path.empty() || path.back() == '/') return PrivateWrite::Failed;
    std::string folder, name;
    SplitPath(path, folder, name);
    // The folder is checked through the descriptor the file is then opened
    // in, so it cannot be swapped for another between the check and the open.
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return PrivateWrite::Failed;
    struct stat st{};
    if (fstat(dfd, &st) != 0) {
        close(dfd);
        return PrivateWrite::Failed;
    }
    if (std::string problem = FolderProblem(st, folder); !problem.empty()) {
        close(dfd);
        return refuse(problem);
    }
    int fd = openat(dfd, name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    const int openErrno = errno;
    close(dfd);
    if (fd < 0) {
        if (openErrno == ELOOP) return refuse(path + " is a link");
        if (openErrno == ENXIO) return refuse(path + " is not a regular file");
        return PrivateWrite::Failed;
    }
    PrivateWrite result = PrivateWrite::Written;
    if (fstat(fd, &st) != 0) {
        result = PrivateWrite::Failed;
    } else if (!S_ISREG(st.st_mode)) {
        result = refuse(path + " is not a regular file");
    } else if (st.st_uid != geteuid()) {
        result = refuse(path + " belongs to another user");
    } else if (truncate && ftruncate(fd, 0) != 0) {
        result = PrivateWrite::Failed;
    }
    for (std::size_t done = 0; result == PrivateWrite::Written && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) result = PrivateWrite::Failed;
        else done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 && result == PrivateWrite::Written) result = PrivateWrite::Failed;
    return result;
}

}  // namespace pvd
