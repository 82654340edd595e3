// One running instance per user: a lock that the system releases when its
// holder ends, however it ends.
#pragma once

#include <string>

namespace pvd {

class InstanceLock {
public:
    enum class State {
        Acquired,       // this process is the one instance
        HeldByAnother,  // a live process holds the lock
        Unavailable,    // no lock can be taken here; see reason()
    };

    explicit InstanceLock(std::string path) : path_(std::move(path)) {}
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock unless a live process holds it. Whatever the file holds
    // (nothing, garbage, the id of a process long gone) does not matter:
    // only a holder that still runs keeps it. Asking again once acquired
    // answers Acquired.
    State TryAcquire();
    const std::string& reason() const { return reason_; }

private:
    std::string path_;
    std::string reason_;
#ifdef _WIN32
    void* handle_ = nullptr;  // the lock file, held open without sharing
#else
    int fd_ = -1;
#endif
};

// Where the lock of this user's one running instance lives: in
// `runtimeFolder` (the user's own) when given, else under a per-user name in
// the shared temporary folder; on Windows a name of the logon session.
std::string InstanceLockName(const std::string& runtimeFolder);

}  // namespace pvd
