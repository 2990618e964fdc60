#include "util/truncation_guard.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace tarnwick {

namespace {

// One live guard: the thread that took it and the bytes it covers. Everything
// the handler reads is a lock-free atomic, so that it stays async-signal-safe.
struct Slot {
    std::atomic<pid_t> owner{0};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<unsigned long> replaced{0};
};

Slot g_slots[TruncationGuard::kMaxLiveGuards];
// Slots at or past this index have never been used: the handler stops there.
std::atomic<std::size_t> g_slots_used{0};

std::uintptr_t g_page_size = 4096;
// The disposition SIGBUS had before ours; written once, before ours is in place.
struct sigaction g_previous {};

pid_t current_thread_id() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// A signal the kernel raised for a faulting access has a positive si_code
// (BUS_ADRERR for an access past the end of a mapped file). Signals sent by a
// process -- kill(), sigqueue(), tgkill() -- have si_code zero or below, and
// their si_addr means nothing.
bool is_access_fault(const siginfo_t* info) noexcept { return info->si_code > 0; }

// What would have happened without our handler.
void pass_on(int signal, siginfo_t* info, void* context) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
        if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler == SIG_IGN && !is_access_fault(info)) return;  // a sent signal, ignored
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    // The default action ends the process. A fault cannot be ignored either:
    // returning from it would only repeat it.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGBUS, &fallback, nullptr);
    // A fault repeats when we return and now takes the default course; a sent
    // signal is sent again, and stays pending until this handler returns.
    if (!is_access_fault(info)) ::raise(SIGBUS);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
    if (!is_access_fault(info)) {
        pass_on(signal, info, context);
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const pid_t thread = current_thread_id();
    const std::size_t used = g_slots_used.load(std::memory_order_acquire);
    bool ours = false;
    for (std::size_t i = 0; i < used; ++i) {
        Slot& slot = g_slots[i];
        if (slot.owner.load(std::memory_order_acquire) != thread) continue;
        if (address < slot.begin.load(std::memory_order_relaxed) || address >= slot.end.load(std::memory_order_relaxed)) {
            continue;
        }
        if (!ours) {
            void* page = reinterpret_cast<void*>(address & ~(g_page_size - 1));
            if (::mmap(page, g_page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
                break;
            }
            ours = true;
        }
        // Every guard of this thread over the page learns of it (passes nest).
        slot.replaced.fetch_add(1, std::memory_order_relaxed);
    }
    if (!ours) pass_on(signal, info, context);
    // Otherwise the access is retried and reads zeros.
}

bool install_handler() noexcept {
    g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &g_previous) == 0;
}

bool handler_installed() noexcept {
    static const bool installed = install_handler();
    return installed;
}

int claim_slot(pid_t thread, std::uintptr_t begin, std::uintptr_t end) noexcept {
    for (std::size_t i = 0; i < TruncationGuard::kMaxLiveGuards; ++i) {
        pid_t free = 0;
        if (!g_slots[i].owner.compare_exchange_strong(free, thread, std::memory_order_acq_rel)) continue;
        g_slots[i].replaced.store(0, std::memory_order_relaxed);
        g_slots[i].begin.store(begin, std::memory_order_relaxed);
        g_slots[i].end.store(end, std::memory_order_release);
        std::size_t used = g_slots_used.load(std::memory_order_acquire);
        while (used < i + 1 && !g_slots_used.compare_exchange_weak(used, i + 1, std::memory_order_acq_rel)) {
        }
        return static_cast<int>(i);
    }
    return -1;
}

sigset_t bus_error_set() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGBUS);
    return set;
}

}  // namespace

TruncationGuard::TruncationGuard(Bytes bytes) noexcept {
    if (bytes.empty() || !handler_installed()) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
    slot_ = claim_slot(current_thread_id(), begin, begin + bytes.size());
    if (slot_ < 0) return;
    const sigset_t bus = bus_error_set();
    sigset_t before;
    if (::pthread_sigmask(SIG_UNBLOCK, &bus, &before) == 0) restore_block_ = sigismember(&before, SIGBUS) == 1;
}

bool TruncationGuard::pages_replaced() const noexcept {
    return slot_ >= 0 && g_slots[slot_].replaced.load(std::memory_order_relaxed) != 0;
}

TruncationGuard::~TruncationGuard() {
    if (slot_ < 0) return;
    if (restore_block_) {
        const sigset_t bus = bus_error_set();
        ::pthread_sigmask(SIG_BLOCK, &bus, nullptr);
    }
    Slot& slot = g_slots[slot_];
    slot.end.store(0, std::memory_order_relaxed);
    slot.begin.store(0, std::memory_order_relaxed);
    slot.owner.store(0, std::memory_order_release);
}

}  // namespace tarnwick
