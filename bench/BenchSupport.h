// What the benchmarks share.
#pragma once

#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace qeltv::bench {

// CPU seconds (user and system) of this process (RUSAGE_SELF) or of its
// finished children (RUSAGE_CHILDREN).
inline double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct BaselineRun {
    bool ok = false;
    double cpu_s = 0;  // CPU seconds of the command's processes
    double wall_s = 0; // elapsed seconds
};

// Runs the baseline command (a gst-launch-1.0 pipeline) through the shell.
inline BaselineRun RunBaseline(const char* command) {
    BaselineRun run;
    const double before = CpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer wall;
    wall.start();
    run.ok = std::system(command) == 0;
    if (!run.ok)
        std::fprintf(stderr, "the baseline pipeline failed: %s\n", command);
    run.cpu_s = CpuSeconds(RUSAGE_CHILDREN) - before;
    run.wall_s = wall.elapsed() / 1000.0;
    return run;
}

} // namespace qeltv::bench
