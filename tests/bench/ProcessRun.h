#pragma once
// A program run as a whole process for a benchmark: its wall time and peak resident memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace oq::bench {

struct Run {
    double seconds = 0;
    double cpuSeconds = 0; // the child's, user and system
    double peakMiB = 0;
    bool ok = false;
};

// The command with TZ unset and standard output to `out`; wall time, the child's processor time and peak memory.
inline Run runProcess(const std::vector<std::string>& command, const char* out)
{
    std::vector<char*> argv;
    for (const auto& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "TZ=", 3) != 0)
            env.push_back(*e);
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    Run run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data()) == 0) {
        int status = 0;
        struct rusage usage = {};
        if (wait4(pid, &status, 0, &usage) == pid) {
            run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            run.peakMiB = double(usage.ru_maxrss) / 1024.0;
            const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
            run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
            run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

} // namespace oq::bench
