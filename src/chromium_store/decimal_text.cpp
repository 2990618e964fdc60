#include "chromium_store/decimal_text.hpp"

#include <algorithm>
#include <cstdio>

namespace tarnwick::chromium {

namespace {

// How much of a bad number a message shows.
constexpr std::size_t shown_bytes = 20;

}  // namespace

Decoded<std::string> decimal_text(Bytes digits) {
    const bool all_digits =
        !digits.empty() && std::ranges::all_of(digits, [](std::uint8_t b) { return b >= '0' && b <= '9'; });
    if (!all_digits) {
        return decode_error("decimal number expected, found " +
                            bytes_literal(digits.first(std::min(digits.size(), shown_bytes))));
    }
    if (digits.size() > max_decimal_digits) {
        return decode_error("decimal number of " + std::to_string(digits.size()) + " digits (at most " +
                            std::to_string(max_decimal_digits) + " read)");
    }
    std::size_t first = 0;
    while (first + 1 < digits.size() && digits[first] == '0') ++first;
    return std::string(reinterpret_cast<const char*>(digits.data()) + first, digits.size() - first);
}

std::string bytes_literal(Bytes bytes) {
    // The quote that the bytes do not hold, single unless only double works.
    const bool has_single = std::ranges::find(bytes, '\'') != bytes.end();
    const bool has_double = std::ranges::find(bytes, '"') != bytes.end();
    const char quote = has_single && !has_double ? '"' : '\'';
    std::string out = "b";
    out += quote;
    for (const std::uint8_t b : bytes) {
        if (b == '\\' || b == static_cast<std::uint8_t>(quote)) {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b < 0x20 || b >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else {
            out += static_cast<char>(b);
        }
    }
    out += quote;
    return out;
}

}  // namespace tarnwick::chromium
