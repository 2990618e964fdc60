// How a Chromium decoder reports bytes it cannot decode: a reason that says
// where and why. Decoders never throw for bad input; they return this.
#pragma once

#include <expected>
#include <string>

namespace tarnwick::chromium {

struct DecodeError {
    std::string reason;
};

template <class T>
using Decoded = std::expected<T, DecodeError>;

[[nodiscard]] inline std::unexpected<DecodeError> decode_error(std::string reason) {
    return std::unexpected(DecodeError{std::move(reason)});
}

}  // namespace tarnwick::chromium

// Declares `var` as the value of `expr` (a Decoded<T>), or returns its error
// from the enclosing function.
#define DECODE_TRY(var, expr)                                            \
    auto var##_decoded = (expr);                                         \
    if (!var##_decoded) return std::unexpected(var##_decoded.error());   \
    auto var = *var##_decoded
