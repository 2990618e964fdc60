#include "db/truncation_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tarnwick {

namespace {

// What the handler reads: plain atomics, so that it stays async-signal-safe.
std::atomic<std::uintptr_t> g_begin{0};
std::atomic<std::uintptr_t> g_end{0};
std::atomic<unsigned long> g_pages_replaced{0};
std::uintptr_t g_page_size = 4096;
struct sigaction g_previous {};

std::mutex g_mutex;  // one guard at a time

void pass_on(int signal, siginfo_t* info, void* context) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
    } else if (g_previous.sa_handler == SIG_DFL || g_previous.sa_handler == SIG_IGN) {
        // Put the old disposition back and return: the faulting access runs
        // again and the fault takes its usual course. (A bus error cannot be
        // ignored; returning from it would only repeat it.)
        struct sigaction fallback = g_previous;
        fallback.sa_handler = SIG_DFL;
        ::sigaction(SIGBUS, &fallback, nullptr);
    } else {
        g_previous.sa_handler(signal);
    }
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t begin = g_begin.load(std::memory_order_acquire);
    const std::uintptr_t end = g_end.load(std::memory_order_acquire);
    if (begin != 0 && address >= begin && address < end) {
        void* page = reinterpret_cast<void*>(address & ~(g_page_size - 1));
        if (::mmap(page, g_page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            g_pages_replaced.fetch_add(1, std::memory_order_relaxed);
            return;  // the access is retried and reads zeros
        }
    }
    pass_on(signal, info, context);
}

}  // namespace

TruncationGuard::TruncationGuard(Bytes bytes) {
    if (bytes.empty()) return;
    g_mutex.lock();
    g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGBUS, &action, &g_previous) != 0) {
        g_mutex.unlock();
        return;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
    g_end.store(begin + bytes.size(), std::memory_order_release);
    g_begin.store(begin, std::memory_order_release);
    replaced_at_start_ = g_pages_replaced.load(std::memory_order_relaxed);
    active_ = true;
}

bool TruncationGuard::pages_replaced() const noexcept {
    return active_ && g_pages_replaced.load(std::memory_order_relaxed) != replaced_at_start_;
}

TruncationGuard::~TruncationGuard() {
    if (!active_) return;
    g_begin.store(0, std::memory_order_release);
    g_end.store(0, std::memory_order_release);
    ::sigaction(SIGBUS, &g_previous, nullptr);
    g_mutex.unlock();
}

}  // namespace tarnwick
