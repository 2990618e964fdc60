// Reading a file that shrinks underneath its mapping.
//
// A read-only mapping stays the length the file had when it was mapped. If
// another process truncates the file afterwards, touching a page that now lies
// wholly past the end raises SIGBUS, which would kill the whole process. The
// readers cut their view to the file's current size before each pass, but a
// truncation can still land in the middle of a pass.
//
// While a TruncationGuard lives, such a fault inside its bytes, in its own
// thread, is answered by mapping a page of zeros over the vanished page: the
// access goes on and sees zeros. The guard counts the pages it replaced, so
// that a reader can refuse to report anything that was read from them, and the
// owner of the mapping puts the file's pages back after the pass.
//
// The SIGBUS handler is installed once per process, when the first guard is
// taken, and never removed. It answers only bus errors that the kernel raised
// for an access (si_code above zero: BUS_ADRERR and the like) at an address
// that a live guard of the faulting thread covers. Everything else -- a SIGBUS
// sent with kill() or sigqueue(), a fault in another thread or outside any
// guard -- goes to the handler that was installed before, or takes the default
// course (the process ends) when there was none. A host that installs its own
// SIGBUS handler later should pass on the faults it does not own to the handler
// it replaced, as this one does.
//
// Guards are kept per thread in a fixed table, so passes may nest and run in
// several threads at once without any lock. A guard also unblocks SIGBUS in its
// thread for its lifetime (a thread that blocks every signal would otherwise be
// killed by the first fault) and restores the thread's mask afterwards.
#pragma once

#include <signal.h>

#include <cstddef>

#include "util/bytes.hpp"

namespace tarnwick {

class TruncationGuard {
   public:
    // Guards `bytes` (a whole mapping, or part of one) until the guard is
    // destroyed. Empty bytes are not guarded.
    explicit TruncationGuard(Bytes bytes) noexcept;
    ~TruncationGuard();
    TruncationGuard(const TruncationGuard&) = delete;
    TruncationGuard& operator=(const TruncationGuard&) = delete;

    // Whether a vanished page inside the guarded bytes has been replaced by
    // zeros since the guard was taken: the file has shrunk, and whatever was
    // read from the guarded bytes since may hold zeros the file never held.
    [[nodiscard]] bool pages_replaced() const noexcept;

    // How many guards may be live at once in the whole process. A guard taken
    // beyond that protects nothing (a fault then takes its usual course).
    static constexpr std::size_t kMaxLiveGuards = 1024;

   private:
    int slot_ = -1;
    bool restore_block_ = false;
};

}  // namespace tarnwick
