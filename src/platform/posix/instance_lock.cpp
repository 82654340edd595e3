#include "platform/instance_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

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

// Requests to the running instance are signals to the process that holds its
// lock: SIGTERM to end (as any request to end), SIGUSR1 to show the window.
namespace pvd {
namespace {

// The lock file as it is, never made: no file, no instance.
int OpenExistingLock(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return -1;
    }
    return fd;
}

bool LockHeld(int fd) {
    while (flock(fd, LOCK_SH | LOCK_NB) != 0)
        if (errno != EINTR) return errno == EWOULDBLOCK;
    flock(fd, LOCK_UN);
    return false;
}

// Whether process `pid` has the lock file open.
bool HasOpen(pid_t pid, const struct stat& lock) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (!dir) return false;
    bool found = false;
    while (const dirent* e = readdir(dir)) {
        struct stat st{};
        if (e->d_name[0] != '.' && stat((fds + "/" + e->d_name).c_str(), &st) == 0 && st.st_dev == lock.st_dev &&
            st.st_ino == lock.st_ino) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The holder of the lock: the process the file names, once that process is
// seen to have the file open. The id is written just after the lock is
// taken, and an id left by an earlier holder may name another program by
// now: it is read again, `tries` times 20 ms, until it checks out.
pid_t LockHolder(int fd, int tries) {
    struct stat lock{};
    if (fstat(fd, &lock) != 0) return 0;
    for (int i = 0; i < tries; ++i) {
        char text[32] = {};
        const ssize_t n = pread(fd, text, sizeof text - 1, 0);
        const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        if (pid > 0 && pid != getpid() && HasOpen(static_cast<pid_t>(pid), lock)) return static_cast<pid_t>(pid);
        if (!LockHeld(fd)) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// Whether a process has ended: gone, or a zombie that only its parent's
// wait keeps (it holds no file any more).
bool Gone(pid_t pid) {
    const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char text[512] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const std::string_view stat(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string_view::npos || paren + 2 >= stat.size()) return true;
    return stat[paren + 2] == 'Z' || stat[paren + 2] == 'X';
}

}  // namespace

EndOutcome EndRunningInstances(const std::string& lockName, int timeoutMs) {
    const int fd = OpenExistingLock(lockName);
    if (fd < 0 || !LockHeld(fd)) {
        if (fd >= 0) close(fd);
        return {EndOutcome::Result::NoneRunning, "no instance is running"};
    }
    const pid_t pid = LockHolder(fd, 50);
    EndOutcome outcome{EndOutcome::Result::StillRunning, "cannot tell which process holds " + lockName};
    if (pid > 0 && kill(pid, SIGTERM) != 0) {
        outcome.detail = "cannot ask process " + std::to_string(pid) + " to end: " + std::strerror(errno);
    } else if (pid > 0) {
        // It has ended once its lock is free and the process is gone: the
        // program lets go of the lock before the last of its teardown.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        outcome.detail = "process " + std::to_string(pid) + " did not end within " + std::to_string(timeoutMs / 1000) + " s";
        while (std::chrono::steady_clock::now() < deadline) {
            if (!LockHeld(fd) && Gone(pid)) {
                outcome = {EndOutcome::Result::Ended, "process " + std::to_string(pid) + " has ended"};
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } else if (!LockHeld(fd)) {
        outcome = {EndOutcome::Result::NoneRunning, "no instance is running"};
    }
    close(fd);
    return outcome;
}

bool AskRunningInstanceToShow(const std::string& lockName) {
    const int fd = OpenExistingLock(lockName);
    if (fd < 0) return false;
    const pid_t pid = LockHeld(fd) ? LockHolder(fd, 5) : 0;  // a second start ends at once all the same
    close(fd);
    return pid > 0 && kill(pid, SIGUSR1) == 0;
}

}  // namespace pvd
