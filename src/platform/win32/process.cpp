// Starting the recorder on Windows: the shell's "open" of the program, its
// one argument passed as the raw parameter text.
#include "platform/process.h"

#include <windows.h>

#include <shellapi.h>

#include <csignal>
#include <cstdlib>

#include "platform/file_system.h"
#include "platform/win32/text_encoding.h"

namespace pvd {

ProcessStart StartDetached(const std::string& program, const std::string& argument) {
    ProcessStart out;
    // A full path only (C:\..., \\server\share\...): the shell never searches for it.
    if (PathRoot(program).size() < 3) {
        out.reason = "not an absolute path";
        return out;
    }
    const std::wstring file = win32::Wide(program), parameters = win32::Wide(argument);
    // The shell "opens" a folder in Explorer: that is no recorder started.
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        out.reason = "a folder, not a program";
        return out;
    }
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // The process handle only to learn its id; no error dialog of the shell.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        out.reason = win32::ErrorText(GetLastError());
        return out;
    }
    out.started = true;
    if (info.hProcess) {
        out.pid = static_cast<long>(GetProcessId(info.hProcess));
        CloseHandle(info.hProcess);
    }
    return out;
}

void DistinguishAbnormalExit() {
    std::signal(SIGABRT, [](int) { _exit(134); });
}

// Windows leaves no zombies: an ended process goes with its last handle.
void ReapEndedProcesses() {}

}  // namespace pvd
