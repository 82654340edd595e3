#pragma once

// Starting and waiting for the programs under test: posix_spawn and waitpid
// on POSIX, CreateProcessW and the process handle on Windows, behind the
// same functions.

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/text_encoding.h"
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace pvd::test {

#ifdef _WIN32
inline std::string Bin(const std::string& name) { return (BuildDir() / "bin" / (name + ".exe")).string(); }
#else
inline std::string Bin(const std::string& name) { return (BuildDir() / "bin" / name).string(); }
#endif

#ifdef _WIN32
// A child process: its process handle, null when it could not start.
using ChildId = HANDLE;
inline constexpr ChildId kNoChild = nullptr;

// The command line that gives the child exactly these arguments, by the
// quoting rules of CommandLineToArgvW and the C runtime.
inline std::wstring CommandLine(const std::vector<std::string>& args) {
    std::wstring line;
    for (const auto& a : args) {
        if (!line.empty()) line += L' ';
        const std::wstring w = win32::Wide(a);
        if (!w.empty() && w.find_first_of(L" \t\"") == std::wstring::npos) {
            line += w;
            continue;
        }
        line += L'"';
        std::size_t slashes = 0;
        for (wchar_t c : w) {
            if (c == L'\\') {
                ++slashes;
                continue;
            }
            // Backslashes before a quote are escaped, and the quote itself.
            line.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
            slashes = 0;
            line += c;
        }
        line.append(2 * slashes, L'\\');  // before the closing quote
        line += L'"';
    }
    return line;
}

inline HANDLE OpenForAppend(const std::string& file) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(win32::Wide(file).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts a program with the current environment, its standard output and
// error going to the files named (the same file for both is allowed).
inline ChildId SpawnTo(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile) {
    win32::Handle out(OpenForAppend(outFile));
    win32::Handle err(errFile == outFile ? INVALID_HANDLE_VALUE : OpenForAppend(errFile));
    if (!out.valid() || (errFile != outFile && !err.valid())) return kNoChild;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out.get();
    si.hStdError = errFile == outFile ? out.get() : err.get();
    PROCESS_INFORMATION pi{};
    std::wstring line = CommandLine(args);
    if (!CreateProcessW(win32::Wide(args.at(0)).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return kNoChild;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Waits for a child to end: its exit code, -1 when it still runs at the
// deadline, -2 when it is no child of ours (already waited for).
inline int WaitExit(ChildId child, int timeoutMs = 10000) {
    if (child == kNoChild) return -2;
    const DWORD r = WaitForSingleObject(child, static_cast<DWORD>(timeoutMs));
    if (r == WAIT_TIMEOUT) return -1;
    DWORD code = 0;
    const bool known = r == WAIT_OBJECT_0 && GetExitCodeProcess(child, &code);
    CloseHandle(child);
    return known ? static_cast<int>(code) : -2;
}

// Text as the program wrote it, with the platform's CR LF line ends as LF.
inline std::string TextOutput(std::string s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
    return out;
}
#else
using ChildId = pid_t;
inline constexpr ChildId kNoChild = -1;

// Starts a program with the current environment, its standard output and
// error going to the files named (the same file for both is allowed).
inline ChildId SpawnTo(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (errFile == outFile) posix_spawn_file_actions_adddup2(&fa, 1, 2);
    else posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Waits for a child to end: its exit status, -1 when it still runs at the
// deadline, -2 when it is no child of ours (already reaped).
inline int WaitExit(ChildId pid, int timeoutMs = 10000) {
    for (int waited = 0;; waited += 10) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0) return -2;
        if (waited >= timeoutMs) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline std::string TextOutput(std::string s) { return s; }
#endif

// Starts a program in the background, its output in scratch/.spawn.out.
inline ChildId Spawn(const std::vector<std::string>& args, const std::string& scratch) {
    return SpawnTo(args, scratch + "/.spawn.out", scratch + "/.spawn.out");
}

struct RunResult {
    int status = -1;
    std::string out, err;
};

// Runs a program with the current environment and waits for it.
inline RunResult Run(const std::vector<std::string>& args, const std::string& scratch) {
    const std::string outFile = scratch + "/.run.out", errFile = scratch + "/.run.err";
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    RunResult r;
    const ChildId child = SpawnTo(args, outFile, errFile);
    if (child != kNoChild) r.status = WaitExit(child, 60000);
    r.out = TextOutput(ReadFile(outFile));
    r.err = TextOutput(ReadFile(errFile));
    return r;
}

// Waits, looking every 10 ms, until `done` says so or the time is up; whether it did.
template <typename Done>
bool WaitUntil(Done done, int timeoutMs = 15000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Waits until the file holds at least `lines` lines (the recorder runs on its own).
inline std::vector<std::string> WaitForLines(const std::string& file, std::size_t lines, int timeoutMs = 15000) {
    std::vector<std::string> out;
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        out.clear();
        std::string text = ReadFile(file);
        std::size_t start = 0;
        for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) out.push_back(text.substr(start, nl - start));
        if (out.size() >= lines) return out;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return out;
}

}  // namespace pvd::test
