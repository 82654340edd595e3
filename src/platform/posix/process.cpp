#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace pvd {
namespace {

std::vector<pid_t>& Running() {
    static std::vector<pid_t> pids;
    return pids;
}

}  // namespace

ProcessStart StartDetached(const std::string& program, const std::string& argument) {
    ReapEndedProcesses();
    ProcessStart out;
    if (program.empty() || program.front() != '/') {
        out.reason = "not an absolute path";
        return out;
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGIO}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::string arg = argument;
    char* argv[] = {const_cast<char*>(program.c_str()), arg.data(), nullptr};
    pid_t pid = -1;
    // glibc's posix_spawn reports a failed exec (ENOENT, EACCES, ENOEXEC...)
    // as its result, and collects such a child itself.
    const int err = posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        out.reason = std::strerror(err);
        return out;
    }
    Running().push_back(pid);
    out.started = true;
    out.pid = pid;
    return out;
}

// Killed by SIGABRT: the shell already sees 128 + 6.
void DistinguishAbnormalExit() {}

void ReapEndedProcesses() {
    auto& pids = Running();
    std::erase_if(pids, [](pid_t pid) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

}  // namespace pvd
