// The format library's files on POSIX: an unnamed O_TMPFILE (or a locked
// hidden temporary) published with renameat2(RENAME_NOREPLACE) or link, or
// where a folder has neither (exFAT, FUSE mounts), by a rename checked under
// the folder's publish lock.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "../file_ops.h"
#include "vnfformat.h"

namespace vnf {

int Fail(const char* step, int status) {
    const int code = errno;
    char buffer[256];
    SetLastFailure(std::string(step) + ": " + strerror_r(code, buffer, sizeof buffer));
    errno = code;
    return status;
}

namespace {

// Dictation files get the usual document mode, narrowed by the umask.
const mode_t kFileMode = [] {
    const mode_t mask = umask(022);
    umask(mask);
    return static_cast<mode_t>(0644 & ~mask);
}();

std::string FolderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new hidden temporary beside the target, locked for as long as it is
// open, so that a sweep never takes it from a live process; "" when none can
// be made.
std::string MakeTemp(const std::string& path, int& fd) {
    std::string tmpl = FolderOf(path) + "/" + kTempPrefix + "XXXXXX" + kTempSuffix;
    fd = mkostemps(tmpl.data(), static_cast<int>(std::strlen(kTempSuffix)), O_CLOEXEC);
    if (fd < 0) {
        Fail("create the file");
        return {};
    }
    flock(fd, LOCK_EX | LOCK_NB);
    fchmod(fd, kFileMode);
    return tmpl;
}

// The file a new dictation is built in before it has a name: unnamed where
// the file system allows it, so that a crash leaves nothing behind, else a
// hidden temporary.
bool OpenUnpublishedFd(const std::string& path, int& fd, std::string& tempPath) {
    tempPath.clear();
    fd = open(FolderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (fd >= 0) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return Fail("create the file", false);  // no folder, no permission
    tempPath = MakeTemp(path, fd);
    return !tempPath.empty();
}

bool WriteFrom0Fd(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return Fail("save the file", false);
        done += static_cast<std::size_t>(n);
    }
    return ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 || Fail("save the file", false);
}

void SyncFolder(const std::string& path) {
    int dfd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

}  // namespace

bool PathIsFree(const std::string& path) {
    struct stat st{};
    if (path.empty() || path.back() == '/') errno = EISDIR;
    else if (lstat(path.c_str(), &st) == 0) errno = EEXIST;
    else if (errno == ENOENT) return true;
    return Fail("create the file", false);
}

bool OpenUnpublished(const std::string& path, NativeFile& file, std::string& tempPath) {
    int fd = -1;
    const bool ok = OpenUnpublishedFd(path, fd, tempPath);
    file = ok ? fd : kNoFile;
    return ok;
}

bool WriteFrom0(NativeFile file, const std::string& bytes) { return WriteFrom0Fd(static_cast<int>(file), bytes); }

namespace {

constexpr const char* kPublishStep = "publish the file under its name";

// The folder's publish lock, held until destroyed. Its holders keep it for a
// check and a rename, so a wait longer than a few seconds means a process
// that holds it for good: the publish then fails instead of hanging.
class PublishLock {
public:
    ~PublishLock() {
        if (fd_ >= 0) close(fd_);
    }
    bool held() const { return fd_ >= 0; }
    // Takes the lock; without create only where the lock file exists
    // already (false, with errno ENOENT, where it does not).
    bool Take(const std::string& path, bool create) {
        const std::string lockPath = FolderOf(path) + "/" + kPublishLock;
        // Read-only is enough for flock, and lets every user of the folder lock it.
        fd_ = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | (create ? O_CREAT : 0), 0644);
        if (fd_ < 0) return false;
        struct stat st{};
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            Release(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
            return false;
        }
        if (create) fchmod(fd_, 0644);  // whatever the umask: it holds nothing
        for (auto start = std::chrono::steady_clock::now(); flock(fd_, LOCK_EX | LOCK_NB) != 0;) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
                Release(errno);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    void Release(int error) {
        close(fd_);
        fd_ = -1;
        errno = error;
    }
    int fd_ = -1;
};

// Gives the named file `from` the name path, and removes from, without
// replacing anything there: renameat2(RENAME_NOREPLACE), else link, else
// (exFAT and FUSE mounts have neither) a rename once the name is seen free,
// both under the folder's publish lock.
int MoveNoReplace(const std::string& from, const std::string& path, PublishLock& lock) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return VNF_OK;
    if (errno == EEXIST) return Fail(kPublishStep, VNF_E_EXISTS);
    if (errno != EINVAL && errno != ENOSYS) return Fail(kPublishStep);
    if (link(from.c_str(), path.c_str()) == 0) {
        unlink(from.c_str());
        return VNF_OK;
    }
    if (errno == EEXIST) return Fail(kPublishStep, VNF_E_EXISTS);
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return Fail(kPublishStep);
    if (!lock.held() && !lock.Take(path, true)) return Fail("lock the folder");
    if (!PathIsFree(path)) return errno == EEXIST ? Fail(kPublishStep, VNF_E_EXISTS) : Fail(kPublishStep);
    return std::rename(from.c_str(), path.c_str()) == 0 ? VNF_OK : Fail(kPublishStep);
}

}  // namespace

int PublishNoReplace(NativeFile& file, std::string& tempPath, const std::string& path, const std::string& lastBytes) {
    const int fd = static_cast<int>(file);
    if (fsync(fd) != 0) return Fail("save the file");
    // Where a publish of ours may be a checked rename, every publish takes
    // the lock, so that none gives the name between its check and its rename.
    PublishLock lock;
    if (!lock.Take(path, false) && errno != ENOENT) return Fail("lock the folder");
    int status = VNF_E_IO;
    if (tempPath.empty()) {
        // An unnamed file gets its name by its descriptor: directly where
        // the process may, else through /proc.
        if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) {
            status = VNF_OK;
        } else if (errno == EEXIST) {
            status = Fail(kPublishStep, VNF_E_EXISTS);
        } else {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) status = VNF_OK;
            else if (errno == EEXIST) status = Fail(kPublishStep, VNF_E_EXISTS);
        }
        if (status == VNF_E_IO) {
            // Neither works here (no /proc): publish through a hidden temporary.
            int tfd = -1;
            const std::string tmp = MakeTemp(path, tfd);
            if (tmp.empty()) return VNF_E_IO;
            const bool ok = WriteFrom0Fd(tfd, lastBytes) && (fsync(tfd) == 0 || Fail("save the file", false));
            close(tfd);
            status = ok ? MoveNoReplace(tmp, path, lock) : VNF_E_IO;
            if (status != VNF_OK) unlink(tmp.c_str());
        }
    } else {
        status = MoveNoReplace(tempPath, path, lock);
    }
    if (status != VNF_OK) return status;
    SyncFolder(path);
    close(fd);
    file = kNoFile;
    tempPath.clear();
    return VNF_OK;
}

// A save of a published file: a new hidden temporary renamed over it.
int ReplaceAtomically(const std::string& path, const std::string& bytes) {
    int fd = -1;
    const std::string tmp = MakeTemp(path, fd);
    if (tmp.empty()) return VNF_E_IO;
    const bool written = WriteFrom0Fd(fd, bytes) && (fsync(fd) == 0 || Fail("save the file", false));
    const bool closed = close(fd) == 0 || Fail("save the file", false);
    if (!written || !closed || (std::rename(tmp.c_str(), path.c_str()) != 0 && Fail("save the file", true))) {
        unlink(tmp.c_str());
        return VNF_E_IO;
    }
    SyncFolder(path);
    return VNF_OK;
}

void Discard(NativeFile& file, const std::string& tempPath) {
    if (file != kNoFile) close(static_cast<int>(file));  // an unnamed file vanishes with its last descriptor
    if (!tempPath.empty()) unlink(tempPath.c_str());
    file = kNoFile;
}

NativeFile OpenForReading(const std::string& path, std::uint64_t& size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return kNoFile;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return kNoFile;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return fd;
}

bool ReadAt(NativeFile file, std::uint64_t pos, void* out, std::size_t n) {
    const int fd = static_cast<int>(file);
    auto* p = static_cast<char*>(out);
    for (std::size_t done = 0; done < n;) {
        ssize_t r = pread(fd, p + done, n - done, static_cast<off_t>(pos + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

void Close(NativeFile file) {
    if (file != kNoFile) close(static_cast<int>(file));
}

std::int32_t RemoveStaleTemporaries(const char* folder) {
    if (!folder || !*folder) return 0;
    DIR* dir = opendir(folder);
    if (!dir) return 0;
    const int dfd = dirfd(dir);
    const time_t now = time(nullptr);
    std::int32_t removed = 0;
    while (const dirent* d = readdir(dir)) {
        const std::string name = d->d_name;
        if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) continue;
        const int fd = openat(dfd, d->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st{};
        // Only our own files, left for a while, that no live process holds.
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && now - st.st_mtime >= kStaleSeconds &&
            flock(fd, LOCK_EX | LOCK_NB) == 0 && unlinkat(dfd, d->d_name, 0) == 0)
            ++removed;
        close(fd);
    }
    closedir(dir);
    return removed;
}

void KillProcess() {
    raise(SIGKILL);
    _exit(137);
}

}  // namespace vnf
