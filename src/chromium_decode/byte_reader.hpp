// A bounds-checked read cursor over the bytes of one browser-store value.
// Every read returns what it asked for or a DecodeError saying where it ran
// out, so damaged or hostile bytes never read past the value.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"
#include "varint/varint.hpp"

namespace tarnwick::chromium {

// The longest varint accepted: ten bytes carry 64 bits. A tenth byte that
// still says "more follows" is damage, not a longer number.
inline constexpr std::size_t max_varint_bytes = 10;

class ByteReader {
public:
    explicit ByteReader(Bytes data, std::size_t pos = 0) noexcept : data_(data), pos_(pos) {}

    [[nodiscard]] std::size_t pos() const noexcept { return pos_; }
    [[nodiscard]] std::size_t remaining() const noexcept { return pos_ < data_.size() ? data_.size() - pos_ : 0; }
    [[nodiscard]] bool at_end() const noexcept { return pos_ >= data_.size(); }
    [[nodiscard]] Bytes data() const noexcept { return data_; }
    // Steps back over the byte just read (the caller peeked at a tag).
    void unread() noexcept { --pos_; }
    // Ends the readable range early (a trailer follows the value).
    void limit(std::size_t end) noexcept {
        if (end < data_.size()) data_ = data_.first(end);
    }

    [[nodiscard]] std::optional<std::uint8_t> peek() const noexcept {
        return pos_ < data_.size() ? std::optional<std::uint8_t>(data_[pos_]) : std::nullopt;
    }

    [[nodiscard]] Decoded<std::uint8_t> byte() {
        if (pos_ >= data_.size()) return out_of_data();
        return data_[pos_++];
    }

    [[nodiscard]] Decoded<Bytes> take(std::uint64_t n) {
        const auto slice = read_bytes(data_, pos_, n);
        if (!slice) {
            return decode_error(std::to_string(n) + " bytes wanted at byte " + std::to_string(pos_) + ", " +
                                std::to_string(remaining()) + " left");
        }
        pos_ += slice->size();
        return *slice;
    }

    // LEB128: seven bits per byte, least significant group first.
    [[nodiscard]] Decoded<std::uint64_t> varint() {
        const auto v = decode_varint64(data_, pos_);
        if (!v) return out_of_data();
        if (v->length == max_varint_bytes && (data_[pos_ + v->length - 1] & 0x80) != 0) {
            return decode_error("varint longer than 10 bytes at byte " + std::to_string(pos_));
        }
        pos_ += v->length;
        return v->value;
    }

    // A signed 32-bit integer folded so small magnitudes stay short.
    [[nodiscard]] Decoded<std::int32_t> zigzag32() {
        auto v = varint();
        if (!v) return std::unexpected(v.error());
        const auto n = static_cast<std::uint32_t>(*v);
        return static_cast<std::int32_t>((n >> 1) ^ (~(n & 1) + 1));
    }

    [[nodiscard]] Decoded<double> double_le() {
        auto raw = take(8);
        if (!raw) return std::unexpected(raw.error());
        std::uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = (bits << 8) | (*raw)[static_cast<std::size_t>(i)];
        return std::bit_cast<double>(bits);
    }

    [[nodiscard]] Decoded<std::uint64_t> big_endian(std::size_t width) {
        auto raw = take(width);
        if (!raw) return std::unexpected(raw.error());
        std::uint64_t value = 0;
        for (const auto b : *raw) value = (value << 8) | b;
        return value;
    }

private:
    [[nodiscard]] std::unexpected<DecodeError> out_of_data() const {
        return decode_error("unexpected end of data at byte " + std::to_string(pos_));
    }

    Bytes data_;
    std::size_t pos_;
};

}  // namespace tarnwick::chromium
