// Decimal numbers written as ASCII text (Session Storage's map numbers and
// versions), kept as text: a number of any length is exact, and the owners
// of a map are found by its normalised digits.
#pragma once

#include <string>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

// Longer numbers are a damaged or crafted record, not one the browser wrote.
inline constexpr std::size_t max_decimal_digits = 10'000;

// The digits without leading zeros ("0" for zero): the number's JSON text.
// Fails unless the bytes are one or more ASCII digits, at most max_decimal_digits.
[[nodiscard]] Decoded<std::string> decimal_text(Bytes digits);

// Bytes as Python writes a bytes literal (b'ab\x00'), to show a short
// stretch of damaged input in a message.
[[nodiscard]] std::string bytes_literal(Bytes bytes);

}  // namespace tarnwick::chromium
