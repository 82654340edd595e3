// One instance on Windows: a named mutex (a name in the Local\ namespace:
// one per logon session), or a lock file held open without sharing. The
// system closes either when its holder ends, however it ends.
#include "platform/instance_lock.h"

#include <windows.h>

#include "platform/win32/text_encoding.h"

namespace pvd {

InstanceLock::~InstanceLock() {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

InstanceLock::State InstanceLock::TryAcquire() {
    if (handle_) return State::Acquired;
    if (path_.empty()) {
        reason_ = "no place for the lock file";
        return State::Unavailable;
    }
    if (path_.rfind("Local\\", 0) == 0) {
        HANDLE m = CreateMutexW(nullptr, FALSE, win32::Wide(path_).c_str());
        if (!m) {
            const DWORD e = GetLastError();
            if (e == ERROR_ACCESS_DENIED) return State::HeldByAnother;  // made by another user's instance
            reason_ = "cannot make the mutex " + path_ + ": " + win32::ErrorText(e);
            return State::Unavailable;
        }
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(m);
            return State::HeldByAnother;
        }
        handle_ = m;
        return State::Acquired;
    }
    HANDLE h = CreateFileW(win32::Wide(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION) return State::HeldByAnother;
        reason_ = "cannot open the lock file " + path_ + ": " + win32::ErrorText(e);
        return State::Unavailable;
    }
    handle_ = h;
    return State::Acquired;
}

std::string InstanceLockName(const std::string&) { return "Local\\pacs-vantora-driver"; }

}  // namespace pvd
