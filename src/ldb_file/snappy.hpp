// Raw (unframed) Snappy decompression of whole table blocks, through the
// system's Snappy library.
#pragma once

#include <expected>
#include <string>

#include "util/byte_buffer.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

struct SnappyError {
    std::string description;  // what went wrong
    [[nodiscard]] std::string message() const { return "Decompression error: " + description; }
};

// The largest output Snappy can produce from `compressed_size` bytes of
// compressed body: a 3-byte copy element yields at most 64 bytes, and nothing
// yields more per input byte.
constexpr std::uint64_t snappy_max_expansion(std::uint64_t compressed_size) noexcept {
    return compressed_size / 3 * 64 + 64;
}

// Decompresses into `out` (replacing its contents). The uncompressed length
// comes from the data's own header; a header claiming more than the data could
// ever expand to is refused before any buffer of that length is allocated, so
// a few crafted bytes cannot make the reader reserve gigabytes.
[[nodiscard]] std::expected<void, SnappyError> decompress_snappy(Bytes contents, ByteBuffer& out);

// The same into a new buffer.
[[nodiscard]] std::expected<ByteBuffer, SnappyError> decompress_snappy(Bytes contents);

}  // namespace tarnwick
