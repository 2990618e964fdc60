// Where a block lies in a table file: two 64-bit varints, offset then size.
// The size counts the block contents only, not the 5-byte trailer after them.
#pragma once

#include <cstdint>
#include <optional>

#include "varint/varint.hpp"

namespace tarnwick {

// After each block's contents: one compression-type byte and a 4-byte CRC.
inline constexpr std::size_t BLOCK_TRAILER_SIZE = 5;
// The compression types a trailer names.
inline constexpr std::uint8_t BLOCK_TYPE_RAW = 0;
inline constexpr std::uint8_t BLOCK_TYPE_SNAPPY = 1;

struct BlockHandle {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    friend bool operator==(const BlockHandle&, const BlockHandle&) = default;
};

// A handle at the cursor, which moves past it. When only the second varint
// fails, the cursor stays after the first.
[[nodiscard]] inline std::optional<BlockHandle> read_block_handle(ByteCursor& cursor) noexcept {
    const auto offset = cursor.read_varint64();
    if (!offset) return std::nullopt;
    const auto size = cursor.read_varint64();
    if (!size) return std::nullopt;
    return BlockHandle{*offset, *size};
}

// A handle from the start of the bytes; anything after the two varints is
// ignored.
[[nodiscard]] inline std::optional<BlockHandle> decode_block_handle(Bytes bytes) noexcept {
    ByteCursor cursor(bytes);
    return read_block_handle(cursor);
}

}  // namespace tarnwick
