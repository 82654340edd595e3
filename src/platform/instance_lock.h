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

// Requests from another start of the program to the running instance.
enum class InstanceRequest { End, Show };

struct EndOutcome {
    enum class Result {
        NoneRunning,   // nothing to end
        Ended,         // every instance asked has ended
        StillRunning,  // one did not end within the time given, or could not be asked
    } result;
    std::string detail;  // what was done, or why not
};

// Asks the running instance of this user (on Windows: of this logon session,
// and of every session when the caller is an administrator) to end as its
// "Exit" does, and waits up to timeoutMs for it to have ended.
// `lockName` is the instance lock's (InstanceLockName).
EndOutcome EndRunningInstances(const std::string& lockName, int timeoutMs);

// Asks the running instance of this user to show its window; false when
// none could be asked.
bool AskRunningInstanceToShow(const std::string& lockName);

#ifdef _WIN32
// The window class of the running instance's window, and the message it is
// sent for each request.
inline constexpr wchar_t kInstanceWindowClass[] = L"PacsVantoraDriverForm1";
unsigned InstanceRequestMessage(InstanceRequest request);
#endif

}  // namespace pvd
