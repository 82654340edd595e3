#include "dictation/StartVNR.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "settings/registry.h"

extern char** environ;

namespace pvd {

std::string GetVNRPath() { return ReadRegistryText(RegistryRoot::LocalMachine, "SOFTWARE\\Vantora\\VNR", "PATH"); }

bool StartVNR(const std::string& path) {
    if (GetVNRPath().empty()) return false;
    const std::string recorder = GetVNRPath();
    std::string argument = "open" + path;
    // Everything the children use is prepared before fork: after it, only
    // async-signal-safe calls.
    std::vector<char*> argv{const_cast<char*>(recorder.c_str()), argument.data(), nullptr};

    // The intermediate child starts the recorder and exits at once, so the
    // recorder belongs to init and is never our zombie; we wait only for the
    // intermediate, which takes no longer than a fork.
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        pid_t recorderPid = fork();
        if (recorderPid == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int sig : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_DFL);
            closefrom(3);
            execve(argv[0], argv.data(), environ);
            _exit(127);
        }
        _exit(recorderPid < 0 ? 1 : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace pvd
