// Peak resident anonymous memory of the calling process over an interval.
//
// A Python thread cannot do this: iterate_records_raw holds the interpreter
// lock for the whole call, so a sampling thread written in Python would not
// run until the call is over. This library samples from a native thread that
// needs no lock. Loaded with ctypes:
//
//   rss_sampler_current_kib()         RssAnon now, in KiB
//   rss_sampler_start(interval_us)    starts sampling (resets the peak)
//   rss_sampler_stop()                stops, returns the peak RssAnon in KiB
//   rss_sampler_samples()             how many samples the last run took
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// RssAnon from /proc/self/status, in KiB; -1 when it cannot be read.
long long read_rss_anon_kib() {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buffer[8192];
    std::size_t used = 0;
    while (used < sizeof buffer - 1) {
        const ssize_t got = ::read(fd, buffer + used, sizeof buffer - 1 - used);
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
    }
    ::close(fd);
    buffer[used] = '\0';
    const char* line = std::strstr(buffer, "\nRssAnon:");
    if (line == nullptr) return -1;
    return std::strtoll(line + 9, nullptr, 10);
}

std::atomic<bool> g_running{false};
std::atomic<long long> g_peak{-1};
std::atomic<long long> g_samples{0};
std::thread g_thread;

void sample_once() {
    const long long now = read_rss_anon_kib();
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    g_samples.fetch_add(1);
}

}  // namespace

extern "C" {

long long rss_sampler_current_kib() { return read_rss_anon_kib(); }

int rss_sampler_start(int interval_us) {
    if (g_running.load()) return -1;
    g_peak = -1;
    g_samples = 0;
    sample_once();
    g_running = true;
    const auto interval = std::chrono::microseconds(std::max(interval_us, 50));
    g_thread = std::thread([interval] {
        while (g_running.load()) {
            sample_once();
            std::this_thread::sleep_for(interval);
        }
    });
    return 0;
}

long long rss_sampler_stop() {
    if (!g_running.load()) return -1;
    g_running = false;
    g_thread.join();
    sample_once();
    return g_peak.load();
}

long long rss_sampler_samples() { return g_samples.load(); }

}  // extern "C"
