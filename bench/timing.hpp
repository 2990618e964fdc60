// What the two C++ benchmark programs share: a clock, the times of one
// repetition, and the start of the JSON object they print.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Rep {
    double open = 0;
    double scan = 0;
    double free = 0;
};

// Prints `{"program": ..., "reps": [...]` and gives the peak resident memory
// (KiB) for the caller to finish the object with its totals.
inline long print_reps(const char* program, const char* extra_fields, const std::vector<Rep>& times) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("{\"program\": \"%s\"%s, \"reps\": [", program, extra_fields);
    for (std::size_t i = 0; i < times.size(); ++i) {
        std::printf("%s{\"open\": %.9f, \"scan\": %.9f, \"free\": %.9f}", i ? ", " : "", times[i].open,
                    times[i].scan, times[i].free);
    }
    std::printf("]");
    return usage.ru_maxrss;
}

}  // namespace bench
