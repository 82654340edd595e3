#include "platform/file_watch.h"
#include "platform/file_system.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace pvd {
namespace {

constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FileWatch::FileWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

FileWatch::~FileWatch() {
    if (fd_ >= 0) close(fd_);
}

void FileWatch::Drop() {
    for (const Target& t : targets_)
        if (t.wd >= 0) inotify_rm_watch(fd_, t.wd);
    targets_.clear();
}

bool FileWatch::Watch(const std::string& file) {
    if (fd_ < 0 || file.empty()) return false;
    std::vector<Target> wanted(1);
    SplitPath(file, wanted[0].folder, wanted[0].name);
    // A link's target is written where it lives: watch that folder too.
    if (char resolved[PATH_MAX]; realpath(file.c_str(), resolved) && file != resolved) {
        Target t;
        SplitPath(resolved, t.folder, t.name);
        if (t.folder != wanted[0].folder || t.name != wanted[0].name) wanted.push_back(t);
    }
    bool same = file == file_ && wanted.size() == targets_.size();
    for (std::size_t i = 0; same && i < wanted.size(); ++i)
        same = targets_[i].wd >= 0 && targets_[i].folder == wanted[i].folder && targets_[i].name == wanted[i].name;
    if (same) return true;
    Drop();
    file_ = file;
    bool all = true;
    for (Target& t : wanted) {
        t.wd = inotify_add_watch(fd_, t.folder.c_str(), kMask);
        all = all && t.wd >= 0;
    }
    targets_ = std::move(wanted);
    return all;
}

std::vector<FileChange> FileWatch::ReadChanges() {
    std::vector<FileChange> out;
    if (fd_ < 0) return out;
    alignas(inotify_event) char buffer[16 * 1024];
    while (true) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buffer + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                out.push_back(FileChange::Rescan);  // events were lost
                continue;
            }
            for (Target& t : targets_) {
                if (ev->wd != t.wd) continue;
                if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                    // The folder went away: watched again once it is back.
                    t.wd = -1;
                    out.push_back(FileChange::Rescan);
                } else if (ev->len > 0 && t.name == ev->name) {
                    if (ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) out.push_back(FileChange::Complete);
                    else if (ev->mask & IN_ATTRIB) out.push_back(FileChange::Attributes);
                    else out.push_back(FileChange::Modified);
                }
            }
        }
    }
    return out;
}

WriterState FileWriterState(const std::string& path) {
    // A read lease cannot be had while anyone has the file open for writing.
    // We hold it only for an instant; a writer opening the file meanwhile
    // would break it with SIGIO, whose default action ends the process.
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (sigaction(SIGIO, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(SIGIO, SIG_IGN);
    });
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return WriterState::Unknown;
    WriterState state = WriterState::Unknown;
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
            fcntl(fd, F_SETLEASE, F_UNLCK);
            state = WriterState::None;
        } else if (errno == EAGAIN) {
            state = WriterState::Writing;
        }
    }
    close(fd);
    return state;
}

}  // namespace pvd
