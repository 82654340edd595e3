#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/environment.h"

namespace pvd {
namespace {

// Opens the lock file without following a link; only a regular file of the
// user's own is a lock of this program. `missingFolder` tells that the
// folder it should be in is not there.
int OpenLockFile(const std::string& path, std::string& reason, bool& missingFolder) {
    missingFolder = false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        missingFolder = errno == ENOENT || errno == ENOTDIR;
        reason = "cannot open the lock " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        reason = "the lock " + path + " is not a file of this user";
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock; the file stays for the next start
}

InstanceLock::State InstanceLock::TryAcquire() {
    if (fd_ >= 0) return State::Acquired;
    reason_.clear();
    bool missingFolder = false;
    int fd = OpenLockFile(path_, reason_, missingFolder);
    if (fd < 0 && !missingFolder) {
        // A link or anything else in the lock's place is no live instance:
        // it is removed and the lock made afresh.
        unlink(path_.c_str());
        fd = OpenLockFile(path_, reason_, missingFolder);
        if (fd >= 0) reason_.clear();
    }
    if (fd < 0) return State::Unavailable;
    // The kernel holds an flock for as long as the holder's descriptor is
    // open, so a crashed instance never leaves a lock behind.
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) return State::HeldByAnother;
        reason_ = "cannot lock " + path_ + ": " + std::strerror(err);
        return State::Unavailable;
    }
    // The holder's process id, for people looking; nothing reads it.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t n = pwrite(fd, pid.data(), pid.size(), 0);
    }
    fd_ = fd;
    return State::Acquired;
}

}  // namespace pvd

namespace pvd {

std::string InstanceLockName(const std::string& runtimeFolder) {
    if (!runtimeFolder.empty()) return runtimeFolder + "/pacs-vantora-driver.lock";
    std::string temp = GetRawEnv("TMPDIR");
    if (temp.empty()) temp = "/tmp";
    while (temp.size() > 1 && temp.back() == '/') temp.pop_back();
    return temp + "/pacs-vantora-driver-" + std::to_string(getuid()) + ".lock";
}

}  // namespace pvd
