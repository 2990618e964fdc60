// A keyed 64-bit hash of bytes that a page cannot steer: SipHash-2-4, a
// pseudorandom function of its 128-bit key. Whoever does not know the key
// cannot choose inputs that hash alike, so tables keyed by it stay fast and
// correct on keys a hostile page picked. Each table draws its own key.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "util/bytes.hpp"

namespace tarnwick::chromium {

struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// A key from the system's source of randomness (std::random_device).
[[nodiscard]] HashKey random_hash_key();

[[nodiscard]] std::uint64_t siphash24(const HashKey& key, Bytes data) noexcept;

// The same hash under a key of its own, of some numbers (8 little-endian
// bytes each) followed by bytes: for tables keyed by (ids, key bytes).
class KeyedHash {
   public:
    KeyedHash() : key_(random_hash_key()) {}
    [[nodiscard]] std::uint64_t operator()(std::initializer_list<std::uint64_t> numbers, Bytes bytes) const;

   private:
    HashKey key_;
};

}  // namespace tarnwick::chromium
