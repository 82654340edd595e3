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

// Requests to the running instance: a message to its window in this session;
// for an administrator, also the machine-wide end event that every
// instance waits on (outside_events.cpp), which reaches other sessions.
#include <tlhelp32.h>

#include <vector>

#include "platform/win32/end_event.h"

namespace pvd {
namespace {

// The windows of running instances in this session (real or message-only)
// with their processes.
std::vector<std::pair<HWND, DWORD>> InstanceWindows() {
    std::vector<std::pair<HWND, DWORD>> found;
    for (HWND parent : {HWND_MESSAGE, HWND(nullptr)})
        for (HWND w = nullptr; (w = FindWindowExW(parent, w, kInstanceWindowClass, nullptr)) != nullptr;) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid && pid != GetCurrentProcessId()) found.emplace_back(w, pid);
        }
    return found;
}

bool IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    BOOL member = FALSE;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins))
        return false;
    if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
    FreeSid(admins);
    return member != FALSE;
}

// Lets an administrator wait for the processes of other users.
void EnableDebugPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &tp.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
    CloseHandle(token);
}

// Every process of the program, whatever its session, but this one.
std::vector<DWORD> ProgramProcesses() {
    std::vector<DWORD> found;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
        if (e.th32ProcessID != GetCurrentProcessId() && lstrcmpiW(e.szExeFile, L"pacs-vantora-driver.exe") == 0)
            found.push_back(e.th32ProcessID);
    CloseHandle(snap);
    return found;
}

}  // namespace

unsigned InstanceRequestMessage(InstanceRequest request) {
    return RegisterWindowMessageW(request == InstanceRequest::End ? L"pacs-vantora-driver-end" : L"pacs-vantora-driver-show");
}

EndOutcome EndRunningInstances(const std::string&, int timeoutMs) {
    std::vector<win32::Handle> processes;
    std::vector<DWORD> ids;
    std::string problems;
    auto wait = [&](DWORD pid) {
        for (DWORD id : ids)
            if (id == pid) return true;
        win32::Handle p(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (!p.valid()) {
            const DWORD e = GetLastError();
            if (e == ERROR_INVALID_PARAMETER) return false;  // ended meanwhile
            problems += "cannot wait for process " + std::to_string(pid) + ": " + win32::ErrorText(e) + "; ";
            return false;
        }
        processes.push_back(std::move(p));
        ids.push_back(pid);
        return true;
    };
    for (const auto& [window, pid] : InstanceWindows())
        if (wait(pid)) PostMessageW(window, InstanceRequestMessage(InstanceRequest::End), 0, 0);
    win32::Handle endEvent;
    if (IsAdministrator()) {
        EnableDebugPrivilege();
        for (DWORD pid : ProgramProcesses()) wait(pid);
        endEvent = win32::Handle(OpenEventW(EVENT_MODIFY_STATE, FALSE, win32::kEndEventName));
        if (endEvent.valid()) SetEvent(endEvent.get());
    }
    if (processes.empty() && problems.empty()) return {EndOutcome::Result::NoneRunning, "no instance is running"};
    // One by one against one deadline: a terminal server may run more
    // instances than one wait can take.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    bool allEnded = true;
    for (const auto& p : processes) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(p.get(), left) != WAIT_OBJECT_0) allEnded = false;
    }
    // Set for as long as it takes them to end: a program started afterwards
    // runs on.
    if (endEvent.valid()) ResetEvent(endEvent.get());
    std::string list;
    for (DWORD id : ids) list += (list.empty() ? "" : ", ") + std::to_string(id);
    if (!allEnded)
        return {EndOutcome::Result::StillRunning,
                problems + "process " + list + " did not end within " + std::to_string(timeoutMs / 1000) + " s"};
    if (!problems.empty()) return {EndOutcome::Result::StillRunning, problems + (ids.empty() ? "" : "process " + list + " has ended")};
    return {EndOutcome::Result::Ended, "process " + list + " has ended"};
}

bool AskRunningInstanceToShow(const std::string&) {
    bool asked = false;
    for (const auto& [window, pid] : InstanceWindows()) {
        AllowSetForegroundWindow(pid);  // the running instance may bring its window to the front
        asked = PostMessageW(window, InstanceRequestMessage(InstanceRequest::Show), 0, 0) || asked;
    }
    return asked;
}

}  // namespace pvd
