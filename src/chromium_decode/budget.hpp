// How much decoded output one value may make.
//
// A web page chooses what its stores hold, and a few bytes of V8 data can
// claim far more than they hold: `new Array(n)` costs about seven bytes for
// any length, every further view over one ArrayBuffer about eight. What a
// decoder builds is counted against a budget that grows with the value's bytes
// and stops at a hard cap per value; going over makes the value an error with
// its reason, and decoding goes on with the next record.
//
// The unit is roughly one character of the JSON the value becomes: a string
// costs its length in bytes, binary data two per byte (hex), every other value
// value_cost. The Python decoders count the same way, so both refuse the same
// values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "chromium_decode/decode_error.hpp"

namespace tarnwick::chromium {

// Units a value may spend per byte it holds (after Snappy).
inline constexpr std::uint64_t units_per_byte = 16;
// Units every value may spend whatever its size, so a small value with
// ordinary escapes and tags never hits the budget.
inline constexpr std::uint64_t base_units = 1 << 16;
// The most any one value may make: about 64 MiB of JSON.
inline constexpr std::uint64_t value_cap_units = std::uint64_t{64} << 20;
// What one value (number, tag, container) costs besides its text or bytes.
inline constexpr std::uint64_t value_cost = 8;

// The units a value of `input_bytes` bytes may spend.
[[nodiscard]] constexpr std::uint64_t budget_for(std::uint64_t input_bytes) noexcept {
    return std::min(base_units + units_per_byte * std::min<std::uint64_t>(input_bytes, value_cap_units),
                    value_cap_units);
}

class Budget {
public:
    explicit Budget(std::uint64_t input_bytes) noexcept : input_bytes_(input_bytes), limit_(budget_for(input_bytes)) {}

    [[nodiscard]] std::uint64_t limit() const noexcept { return limit_; }
    [[nodiscard]] std::uint64_t used() const noexcept { return used_; }

    // `what` names the thing being paid for, for the reason of the error.
    [[nodiscard]] Decoded<void> charge(std::uint64_t units, std::string_view what) {
        if (add(units)) return {};
        return over(std::string(what));
    }
    // The same for the value whose tag is at byte `pos`; the reason is only
    // spelled out when it is needed.
    [[nodiscard]] Decoded<void> charge_at_byte(std::uint64_t units, std::size_t pos) {
        if (add(units)) return {};
        return over("byte " + std::to_string(pos));
    }

private:
    bool add(std::uint64_t units) noexcept {
        used_ += std::min(units, value_cap_units + 1);
        return used_ <= limit_;
    }
    std::unexpected<DecodeError> over(std::string what) const {
        return decode_error("over budget at " + what + ": the value would expand beyond " + std::to_string(limit_) +
                            " units for its " + std::to_string(input_bytes_) + " bytes");
    }

    std::uint64_t input_bytes_;
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

}  // namespace tarnwick::chromium
