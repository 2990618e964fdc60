#include "chromium_store/keyed_hash.hpp"

#include <bit>
#include <random>

namespace tarnwick::chromium {

namespace {

class SipHash {
   public:
    SipHash(std::uint64_t k0, std::uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ULL),
          v1_(k1 ^ 0x646f72616e646f6dULL),
          v2_(k0 ^ 0x6c7967656e657261ULL),
          v3_(k1 ^ 0x7465646279746573ULL) {}

    void add(std::uint8_t b) {
        word_ |= std::uint64_t{b} << (8 * (length_ % 8));
        ++length_;
        if (length_ % 8 == 0) {
            compress(word_);
            word_ = 0;
        }
    }

    std::uint64_t finish() {
        compress(word_ | (length_ << 56));
        v2_ ^= 0xFF;
        for (int i = 0; i < 4; ++i) round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

   private:
    void compress(std::uint64_t m) {
        v3_ ^= m;
        round();
        round();
        v0_ ^= m;
    }
    void round() {
        v0_ += v1_;
        v1_ = std::rotl(v1_, 13) ^ v0_;
        v0_ = std::rotl(v0_, 32);
        v2_ += v3_;
        v3_ = std::rotl(v3_, 16) ^ v2_;
        v0_ += v3_;
        v3_ = std::rotl(v3_, 21) ^ v0_;
        v2_ += v1_;
        v1_ = std::rotl(v1_, 17) ^ v2_;
        v2_ = std::rotl(v2_, 32);
    }

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t word_ = 0;
    std::uint64_t length_ = 0;
};

std::uint64_t random_word() {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
}

}  // namespace

KeyedHash::KeyedHash() : k0_(random_word()), k1_(random_word()) {}

std::uint64_t KeyedHash::operator()(std::initializer_list<std::uint64_t> numbers, Bytes bytes) const {
    SipHash h(k0_, k1_);
    for (const std::uint64_t n : numbers) {
        for (int i = 0; i < 8; ++i) h.add(static_cast<std::uint8_t>(n >> (8 * i)));
    }
    for (const std::uint8_t b : bytes) h.add(b);
    return h.finish();
}

}  // namespace tarnwick::chromium
