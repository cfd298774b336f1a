// What the benchmarks share.
#pragma once

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

} // namespace qeltv::bench
