// The decoding layer under every file format: base-128 varints, fixed-width
// little-endian integers, length-prefixed strings and a read cursor.
//
// Everything works on bytes the caller already holds and nothing allocates.
// A value that is not wholly present is absent (an empty optional), never an
// error; the caller decides what that means. All of it is inline so that it
// disappears into the per-entry loops of the readers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "util/bytes.hpp"

namespace tarnwick {

struct Varint {
    std::uint64_t value;
    std::size_t length;  // bytes used
};

struct LengthPrefixed {
    Bytes slice;
    std::size_t length;  // bytes used: prefix plus string
};

namespace detail {

// Shared by both widths. Each byte carries seven value bits, least
// significant group first; a set top bit means another byte follows. Decoding
// stops after MaxBytes bytes whatever the last top bit says, so over-long input
// is never an error: the 32-bit form can yield up to 2^35 - 1, and the tenth
// byte of the 64-bit form only contributes its lowest bit.
template <std::size_t MaxBytes>
[[nodiscard]] inline std::optional<Varint> decode_varint(Bytes bytes, std::size_t offset) noexcept {
    const std::size_t size = bytes.size();
    if (offset < size && bytes[offset] < 0x80) [[likely]] {
        return Varint{bytes[offset], 1};
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < MaxBytes; ++i) {
        if (offset + i >= size) return std::nullopt;
        const std::uint8_t b = bytes[offset + i];
        value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if (b < 0x80 || i + 1 == MaxBytes) return Varint{value, i + 1};
    }
    return std::nullopt;  // not reached: the loop always returns
}

template <class T>
[[nodiscard]] inline T load_little_endian(const std::uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
}

}  // namespace detail

// At most 5 bytes; the result is not reduced to 32 bits.
[[nodiscard]] inline std::optional<Varint> decode_varint32(Bytes bytes, std::size_t offset) noexcept {
    return detail::decode_varint<5>(bytes, offset);
}

// At most 10 bytes.
[[nodiscard]] inline std::optional<Varint> decode_varint64(Bytes bytes, std::size_t offset) noexcept {
    return detail::decode_varint<10>(bytes, offset);
}

// The sub-range [offset, offset + count), or absent when it does not fit.
// Written so that a huge count cannot wrap around.
[[nodiscard]] inline std::optional<Bytes> read_bytes(Bytes bytes, std::size_t offset, std::uint64_t count) noexcept {
    if (offset > bytes.size() || count > bytes.size() - offset) return std::nullopt;
    return bytes.subspan(offset, static_cast<std::size_t>(count));
}

namespace detail {

template <std::size_t MaxPrefixBytes>
[[nodiscard]] inline std::optional<LengthPrefixed> get_length_prefixed_slice(Bytes bytes) noexcept {
    const auto prefix = decode_varint<MaxPrefixBytes>(bytes, 0);
    if (!prefix) return std::nullopt;
    const auto slice = read_bytes(bytes, prefix->length, prefix->value);
    if (!slice) return std::nullopt;
    return LengthPrefixed{*slice, prefix->length + slice->size()};
}

}  // namespace detail

// A 64-bit varint length n, then n bytes.
[[nodiscard]] inline std::optional<LengthPrefixed> get_length_prefixed_slice(Bytes bytes) noexcept {
    return detail::get_length_prefixed_slice<10>(bytes);
}

// The same with a 32-bit varint length (at most 5 bytes), as write batches
// store their keys and values.
[[nodiscard]] inline std::optional<LengthPrefixed> get_length_prefixed_slice32(Bytes bytes) noexcept {
    return detail::get_length_prefixed_slice<5>(bytes);
}

// The caller guarantees offset + width <= bytes.size().
[[nodiscard]] inline std::uint16_t read_fixed16(Bytes bytes, std::size_t offset) noexcept {
    return detail::load_little_endian<std::uint16_t>(bytes.data() + offset);
}
[[nodiscard]] inline std::uint32_t read_fixed32(Bytes bytes, std::size_t offset) noexcept {
    return detail::load_little_endian<std::uint32_t>(bytes.data() + offset);
}
[[nodiscard]] inline std::uint64_t read_fixed64(Bytes bytes, std::size_t offset) noexcept {
    return detail::load_little_endian<std::uint64_t>(bytes.data() + offset);
}

// A read position over borrowed bytes. A read that gives absent leaves the
// position where it was; a successful one moves past what it consumed.
struct ByteCursor {
    Bytes data;
    std::size_t pos = 0;

    explicit ByteCursor(Bytes bytes) noexcept : data(bytes) {}

    std::size_t remaining() const noexcept { return data.size() - pos; }

    std::optional<std::uint64_t> read_varint32() noexcept {
        return take(decode_varint32(data, pos));
    }
    std::optional<std::uint64_t> read_varint64() noexcept {
        return take(decode_varint64(data, pos));
    }
    std::optional<Bytes> read_length_prefixed_slice() noexcept {
        return take(get_length_prefixed_slice(data.subspan(pos)));
    }
    std::optional<Bytes> read_length_prefixed_slice32() noexcept {
        return take(get_length_prefixed_slice32(data.subspan(pos)));
    }

   private:
    std::optional<std::uint64_t> take(std::optional<Varint> v) noexcept {
        if (!v) return std::nullopt;
        pos += v->length;
        return v->value;
    }
    std::optional<Bytes> take(std::optional<LengthPrefixed> got) noexcept {
        if (!got) return std::nullopt;
        pos += got->length;
        return got->slice;
    }
};

}  // namespace tarnwick
