// Keys of the browser stores are bytes that mostly hold text: the small
// conversions between the two that the interpreters share.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util/bytes.hpp"

namespace tarnwick::chromium {

// The bytes as text, for comparing keys with the stores' ASCII names.
[[nodiscard]] inline std::string_view as_text(Bytes bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

[[nodiscard]] inline Bytes as_bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Well-formed UTF-8 (no overlong forms, no encoded surrogates).
[[nodiscard]] bool is_utf8(Bytes bytes);

// Why the bytes are not ASCII text, in the words of Python's ASCII codec
// (the error text the Python decoders give), or nothing when they are.
[[nodiscard]] std::optional<std::string> ascii_error(Bytes bytes);

// Text known to be valid UTF-8 as a JSON string literal.
[[nodiscard]] std::string json_string(std::string_view utf8);

}  // namespace tarnwick::chromium
