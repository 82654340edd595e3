// Starting the recorder on Windows: the shell's "open" of the program, its
// one argument passed as the raw parameter text.
#include "platform/process.h"

#include <windows.h>

#include <shellapi.h>

#include <csignal>
#include <cstdlib>

#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/win32/text_encoding.h"

namespace pvd {
namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Whether the file's extension is one that Windows runs as a program.
bool RunsAsProgram(const std::string& path) {
    const std::size_t dot = path.find_last_of('.'), separator = path.find_last_of("\\/");
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return false;
    const std::string extension = Upper(path.substr(dot));
    std::string list = GetRawEnv("PATHEXT");
    if (list.empty()) list = ".COM;.EXE;.BAT;.CMD";
    list = ";" + Upper(list) + ";";
    return list.find(";" + extension + ";") != std::string::npos;
}

}  // namespace

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
    // Nor is a document opened by the program it belongs to: only a file of
    // a type that Windows runs as a program (PATHEXT) is a recorder.
    if (!RunsAsProgram(program)) {
        out.reason = "a document, not a program";
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
