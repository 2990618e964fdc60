// CRC-32C (the Castagnoli polynomial), as a table stores it after each block,
// and the arithmetic on checksums that lets a reader test a stretch of bytes
// against a stored checksum without running the CRC over it again.
//
// Polynomials are held bit-reflected, as the CRC itself is computed: bit 31 is
// the coefficient of x^0 and bit 0 that of x^31.
#pragma once

#include <array>
#include <cstdint>

#include "util/bytes.hpp"

namespace tarnwick::crc32c {

// x^32 + x^28 + x^27 + ... + 1, reflected, without its x^32 term.
inline constexpr std::uint32_t kPolynomial = 0x82F63B78u;
// The polynomial 1 in the reflected representation.
inline constexpr std::uint32_t kOne = 0x80000000u;

// A stored checksum is not the CRC itself but the CRC rotated right by 15
// bits plus a constant, so that the CRC of bytes that embed CRCs of their own
// does not degenerate.
inline constexpr std::uint32_t kMaskDelta = 0xa282ead8u;

[[nodiscard]] constexpr std::uint32_t mask(std::uint32_t crc) noexcept {
    return ((crc >> 15) | (crc << 17)) + kMaskDelta;
}
[[nodiscard]] constexpr std::uint32_t unmask(std::uint32_t masked) noexcept {
    const std::uint32_t rotated = masked - kMaskDelta;
    return (rotated >> 17) | (rotated << 15);
}

// Slicing tables: kTables[0] advances the register by one byte; kTables[k]
// advances a byte that still has k more bytes behind it.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;
extern const Tables kTables;

// The register (the complement of the CRC) after one more byte.
[[nodiscard]] inline std::uint32_t step(std::uint32_t reg, std::uint8_t byte) noexcept {
    return kTables[0][(reg ^ byte) & 0xFFu] ^ (reg >> 8);
}
// The register after eight more bytes, given as one little-endian word.
[[nodiscard]] inline std::uint32_t step8(std::uint32_t reg, std::uint64_t word) noexcept {
    const std::uint64_t x = word ^ reg;
    return kTables[7][x & 0xFF] ^ kTables[6][(x >> 8) & 0xFF] ^ kTables[5][(x >> 16) & 0xFF] ^
           kTables[4][(x >> 24) & 0xFF] ^ kTables[3][(x >> 32) & 0xFF] ^ kTables[2][(x >> 40) & 0xFF] ^
           kTables[1][(x >> 48) & 0xFF] ^ kTables[0][x >> 56];
}

// The CRC of `data` following bytes whose CRC was `crc` (0 for none).
[[nodiscard]] std::uint32_t extend(std::uint32_t crc, Bytes data) noexcept;
[[nodiscard]] inline std::uint32_t value(Bytes data) noexcept { return extend(0, data); }

// a * b modulo the polynomial.
[[nodiscard]] std::uint32_t multiply(std::uint32_t a, std::uint32_t b) noexcept;
// x^(8 * n) modulo the polynomial, and its inverse x^(-8 * n). Both exist for
// every n: the polynomial's constant term is 1, so x is invertible.
[[nodiscard]] std::uint32_t x_pow_8n(std::uint64_t n) noexcept;
[[nodiscard]] std::uint32_t x_pow_minus_8n(std::uint64_t n) noexcept;

// Appending n bytes to a message multiplies its CRC by x^(8n) and adds the
// CRC of the n bytes alone:
//   crc(A || B) = crc(A) * x^(8 |B|) + crc(B)
// (the register's initial and final complements cancel out).
[[nodiscard]] inline std::uint32_t combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) noexcept {
    return multiply(crc_a, x_pow_8n(length_b)) ^ crc_b;
}

}  // namespace tarnwick::crc32c
