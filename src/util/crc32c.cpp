#include "util/crc32c.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace tarnwick::crc32c {

namespace {

constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ kPolynomial : reg >> 1;
        t[0][i] = reg;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::uint32_t i = 0; i < 256; ++i) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
    }
    return t;
}

// x^(8 * 2^k) for k = 0..63, and the same for x^-8: squaring doubles the power.
using Powers = std::array<std::uint32_t, 64>;

// Shift-and-add, without branches on the operands: a's coefficients from
// x^0 (bit 31) upwards select the multiples b, b*x, b*x^2, ...
constexpr std::uint32_t multiply_impl(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (int i = 31; i >= 0; --i) {
        product ^= b & (0u - ((a >> i) & 1u));
        b = (b >> 1) ^ (kPolynomial & (0u - (b & 1u)));
    }
    return product;
}

constexpr Powers make_powers(std::uint32_t base) {
    Powers p{};
    p[0] = base;
    for (std::size_t k = 1; k < p.size(); ++k) p[k] = multiply_impl(p[k - 1], p[k - 1]);
    return p;
}

// x^8 is the polynomial 1 shifted eight places towards the low bits.
constexpr std::uint32_t kX8 = kOne >> 8;
// x^-1 = (P(x) - 1) / x: the polynomial's coefficients above x^0 moved down
// one place, which in the reflected form is the polynomial word shifted left
// by one with x^31 (bit 0) set from the x^32 term.
constexpr std::uint32_t kXMinus1 = (kPolynomial << 1) | 1u;

constexpr std::uint32_t power8(std::uint32_t x_minus_1) {
    std::uint32_t r = kOne;
    for (int i = 0; i < 8; ++i) r = multiply_impl(r, x_minus_1);
    return r;
}
constexpr std::uint32_t kXMinus8 = power8(kXMinus1);

static_assert(multiply_impl(kXMinus8, kX8) == kOne, "x^-8 times x^8 must be 1");

constexpr Powers kForward = make_powers(kX8);
constexpr Powers kBackward = make_powers(kXMinus8);

std::uint32_t power(const Powers& powers, std::uint64_t n) noexcept {
    std::uint32_t r = kOne;
    for (std::size_t k = 0; n != 0; ++k, n >>= 1) {
        if (n & 1) r = multiply_impl(r, powers[k]);
    }
    return r;
}

}  // namespace

constinit const Tables kTables = make_tables();

namespace {

// The register run over `data` 8 bytes at a time, then byte by byte.
template <class Steps>
[[gnu::always_inline]] inline std::uint32_t run(std::uint32_t reg, Bytes data) noexcept {
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
        reg = Steps::step8(reg, word);
        p += 8;
        n -= 8;
    }
    while (n-- != 0) reg = Steps::step(reg, *p++);
    return reg;
}

#if defined(__x86_64__)
TARNWICK_CRC32C_HARDWARE_TARGET std::uint32_t run_hardware(std::uint32_t reg, Bytes data) noexcept {
    return run<HardwareSteps>(reg, data);
}
#endif

}  // namespace

bool processor_has_instruction() noexcept {
#if defined(__x86_64__)
    // Asked of the processor itself rather than through
    // __builtin_cpu_supports, whose answer depends on the runtime library
    // linked in: built by the release toolchain (zig c++), it answered "no"
    // on a processor that has the instruction.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSE4_2) != 0;
#else
    return false;
#endif
}

Method method() noexcept {
    static const Method chosen = method_for(processor_has_instruction());
    return chosen;
}

std::uint32_t extend(std::uint32_t crc, Bytes data, Method how) noexcept {
#if defined(__x86_64__)
    if (how == Method::Hardware) return ~run_hardware(~crc, data);
#endif
    (void)how;
    return ~run<SoftwareSteps>(~crc, data);
}

std::uint32_t multiply(std::uint32_t a, std::uint32_t b) noexcept { return multiply_impl(a, b); }
std::uint32_t x_pow_8n(std::uint64_t n) noexcept { return power(kForward, n); }
std::uint32_t x_pow_minus_8n(std::uint64_t n) noexcept { return power(kBackward, n); }

}  // namespace tarnwick::crc32c
