// Reading a file that shrinks underneath its mapping.
//
// A read-only mapping stays the length the file had when it was mapped. If
// another process truncates the file afterwards, touching a page that now lies
// wholly past the end raises SIGBUS, which would kill the whole process. The
// readers cut their view to the file's current size before each pass, but a
// truncation can still land in the middle of a pass. While a TruncationGuard
// lives, such a fault inside the guarded bytes is answered by mapping a page of
// zeros over the vanished page: the read goes on and sees zeros, which the
// decoders treat like any other damage. A SIGBUS anywhere else goes to
// whatever handler was installed before, as if the guard were not there.
#pragma once

#include "varint/varint.hpp"

namespace tarnwick {

class TruncationGuard {
   public:
    // Guards `bytes` (a whole mapping) until the guard is destroyed. Guards
    // are taken one at a time; a second one waits for the first.
    explicit TruncationGuard(Bytes bytes);
    ~TruncationGuard();
    TruncationGuard(const TruncationGuard&) = delete;
    TruncationGuard& operator=(const TruncationGuard&) = delete;

    // Whether a vanished page has been replaced by zeros since the guard was
    // taken: the file has shrunk, and a reader should measure it again before
    // it decodes more.
    bool pages_replaced() const noexcept;

   private:
    bool active_ = false;
    unsigned long replaced_at_start_ = 0;
};

}  // namespace tarnwick
