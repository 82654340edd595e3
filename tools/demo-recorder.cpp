// demo-recorder open<path>: the stand-in recorder. It reads the dictation file
// through the format library and appends one JSON line per start to the file
// named by DEMO_RECORDER_LOG (standard output when unset).
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#endif

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "vnf_reader.h"

namespace {

#ifdef _WIN32
std::wstring Wide(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? static_cast<std::size_t>(n - 1) : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    return w;
}
#endif

// The "open<path>" argument. The shell passes it on Windows as raw parameter
// text, which argv would split at the spaces of the path: there it is the
// whole command line after the program's name.
std::string OpenArgument(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    const int n = WideCharToMultiByte(CP_UTF8, 0, p, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, p, -1, s.data(), n, nullptr, nullptr);
    return s;
#else
    const std::vector<std::string> args = pvd::tools::Arguments(argc, argv);
    return args.empty() ? std::string() : args.front();
#endif
}

long ProcessId() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

// Appends with one write, so that concurrent starts never interleave.
bool AppendLine(const char* log, const std::string& text) {
#ifdef _WIN32
    HANDLE h = (log && *log) ? CreateFileW(Wide(log).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                             : GetStdHandle(STD_OUTPUT_HANDLE);
    if (h == INVALID_HANDLE_VALUE || !h) return false;
    DWORD n = 0;
    const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
    if (log && *log) CloseHandle(h);
    return ok;
#else
    int fd = (log && *log) ? open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : STDOUT_FILENO;
    if (fd < 0) return false;
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
#endif
}

}  // namespace

int main(int argc, char** argv) {
    using namespace pvd::tools;
    // When this start began, for latency measurements.
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::string arg = OpenArgument(argc, argv);
    Json line{{"pid", ProcessId()},
              {"started_ns", static_cast<long long>(now.count())},
              {"argc", argc - 1},
              {"argument", arg}};
#ifndef _WIN32
    // How it was started: a recorder left in its starter's session, or with
    // signals blocked or ignored, dies or hangs with it.
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    Json odd = Json::array();
    for (int sig = 1; sig < 32; ++sig) {
        struct sigaction action {};
        if (sigismember(&blocked, sig) == 1 || (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)) odd.push_back(sig);
    }
    line["own_session"] = getsid(0) == getpid();
    line["std_streams_open"] = fcntl(0, F_GETFD) != -1 && fcntl(1, F_GETFD) != -1 && fcntl(2, F_GETFD) != -1;
    line["signals_blocked_or_ignored"] = odd;
#endif
    if (arg.rfind("open", 0) != 0) {
        line["error"] = "expected open<path>";
    } else {
        const std::string path = arg.substr(4);
        line["path"] = path;
        Json info;
        if (ReadVnf(path, info)) {
            line["fields"] = info["fields"];
        } else {
            line["error"] = "cannot read the dictation file";
        }
    }
    const std::string text = Dump(line) + "\n";
    const bool ok = AppendLine(std::getenv("DEMO_RECORDER_LOG"), text);
    return ok && line.find("error") == line.end() ? 0 : 1;
}
