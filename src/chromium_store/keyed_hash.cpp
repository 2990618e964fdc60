#include "chromium_store/keyed_hash.hpp"

#include <bit>
#include <vector>
#include <random>

#include "varint/varint.hpp"

namespace tarnwick::chromium {

namespace {

// The initialisation constants of SipHash ("somepseudorandomlygeneratedbytes").
constexpr std::uint64_t sip_v0 = 0x736f6d6570736575ULL;
constexpr std::uint64_t sip_v1 = 0x646f72616e646f6dULL;
constexpr std::uint64_t sip_v2 = 0x6c7967656e657261ULL;
constexpr std::uint64_t sip_v3 = 0x7465646279746573ULL;
constexpr std::uint64_t sip_final_xor = 0xff;

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    // Two rounds per 8-byte word: the "2" of SipHash-2-4.
    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

}  // namespace

HashKey random_hash_key() {
    std::random_device source;
    const auto word = [&source] {
        return (static_cast<std::uint64_t>(source()) << 32) ^ static_cast<std::uint64_t>(source());
    };
    HashKey key;
    key.k0 = word();
    key.k1 = word();
    return key;
}

std::uint64_t siphash24(const HashKey& key, Bytes data) noexcept {
    SipState s{sip_v0 ^ key.k0, sip_v1 ^ key.k1, sip_v2 ^ key.k0, sip_v3 ^ key.k1};
    const std::size_t whole = data.size() / 8 * 8;
    for (std::size_t i = 0; i < whole; i += 8) s.absorb(read_fixed64(data, i));
    // The last word: the remaining bytes, and the length's low byte on top.
    std::uint64_t last = static_cast<std::uint64_t>(data.size() & 0xff) << 56;
    for (std::size_t i = whole; i < data.size(); ++i) last |= static_cast<std::uint64_t>(data[i]) << (8 * (i - whole));
    s.absorb(last);
    // Four finishing rounds: the "4".
    s.v2 ^= sip_final_xor;
    s.round();
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t KeyedHash::operator()(std::initializer_list<std::uint64_t> numbers, Bytes bytes) const {
    std::vector<std::uint8_t> message;
    message.reserve(numbers.size() * 8 + bytes.size());
    for (std::uint64_t n : numbers) {
        for (int i = 0; i < 8; ++i) message.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    }
    message.insert(message.end(), bytes.begin(), bytes.end());
    return siphash24(key_, Bytes(message.data(), message.size()));
}

}  // namespace tarnwick::chromium
