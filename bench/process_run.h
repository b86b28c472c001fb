// Running a program as a fresh process, timed from spawn to exit; shared by
// the benchmarks that compare against programs a user would run.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

struct ProcessRun {
    int spawnError = 0;  // posix_spawn's error, 0 when it started
    int status = -1;     // the exit status, or -1 when it did not exit normally
    double seconds = 0;
    long peakKilobytes = 0;  // its peak resident set
    long pageFaults = 0;     // minor and major
};

// Runs `args` in `cwd` with standard output going to `stdoutFile`.
inline ProcessRun runProcess(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                             const std::filesystem::path& stdoutFile) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    ProcessRun run;
    pid_t pid = 0;
    const auto t0 = std::chrono::steady_clock::now();
    run.spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (run.spawnError != 0) return run;
    int wstatus = 0;
    struct rusage usage = {};
    while (wait4(pid, &wstatus, 0, &usage) < 0) {
        if (errno != EINTR) return run;
    }
    run.peakKilobytes = usage.ru_maxrss;
    run.pageFaults = usage.ru_minflt + usage.ru_majflt;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return run;
}
