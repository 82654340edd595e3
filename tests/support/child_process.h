#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace pvd::test {

inline std::string Bin(const std::string& name) { return (BuildDir() / "bin" / name).string(); }


// Starts a program with the current environment, its standard output and
// error going to the files named (the same file for both is allowed).
inline pid_t SpawnTo(const std::vector<std::string>& args, const std::string& outFile, const std::string& errFile) {
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

// Starts a program in the background, its output in scratch/.spawn.out.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& scratch) {
    return SpawnTo(args, scratch + "/.spawn.out", scratch + "/.spawn.out");
}

// Waits for a child to end: its exit status, -1 when it still runs at the
// deadline, -2 when it is no child of ours (already reaped).
inline int WaitExit(pid_t pid, int timeoutMs = 10000) {
    for (int waited = 0;; waited += 10) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0) return -2;
        if (waited >= timeoutMs) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
    const pid_t pid = SpawnTo(args, outFile, errFile);
    if (pid > 0) r.status = WaitExit(pid, 60000);
    r.out = ReadFile(outFile);
    r.err = ReadFile(errFile);
    return r;
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
