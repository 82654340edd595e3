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

}  // namespace pvd
