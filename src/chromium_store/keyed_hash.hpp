// A 64-bit hash of bytes under a secret key drawn per run (SipHash-2-4), for
// tables indexed by keys a web page chose: without the key a page cannot pick
// keys that collide, so a 64-bit hash can stand for the key itself.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "util/bytes.hpp"

namespace tarnwick::chromium {

class KeyedHash {
   public:
    // A fresh random key.
    KeyedHash();

    // The hash of the numbers (as 8 bytes each) followed by the bytes.
    [[nodiscard]] std::uint64_t operator()(std::initializer_list<std::uint64_t> numbers, Bytes bytes) const;

   private:
    std::uint64_t k0_;
    std::uint64_t k1_;
};

}  // namespace tarnwick::chromium
