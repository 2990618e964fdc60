// Writing decoded browser-store values as JSON text.
//
// Browser strings are sequences of UTF-16 code units (or Latin-1 bytes, V8's
// one-byte strings), and pages do store lone surrogates. The text is UTF-8
// with the few escapes JSON needs; a code unit that is half of no pair is
// written as its \udXXX escape, so the text stays valid UTF-8 and still says
// exactly which code units the value held.
//
// The text is compact (no space after commas and colons), the form the
// package's own JSON encoder writes, so the two compare byte for byte.
//
// Numbers follow the tagged form of the Chromium decoders: an integral double
// that a double holds exactly is an integer, NaN, the infinities and -0 become
// {"$number": ...}, any other double the shortest text that reads back as it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/bytes.hpp"

namespace tarnwick::chromium {

// Each appends a JSON string literal, quotes included.
void append_json_latin1(std::string& out, Bytes latin1);
// `bytes` must have an even size.
void append_json_utf16(std::string& out, Bytes bytes, bool big_endian);
// False (and `out` unchanged) when `utf8` is not well-formed UTF-8 (overlong
// forms and encoded surrogates included).
[[nodiscard]] bool append_json_utf8(std::string& out, Bytes utf8);
// Text the caller knows is plain ASCII without quotes, backslashes or controls.
void append_json_ascii(std::string& out, std::string_view ascii);

// One code point as UTF-8; a surrogate keeps its three-byte form (WTF-8,
// the form names holding lone surrogates are kept in).
void append_wtf8(std::string& out, std::uint32_t code_point);

// `"0a1b..."`: the bytes as lowercase hex.
void append_json_hex(std::string& out, Bytes bytes);

// A double in the tagged form.
void append_json_number(std::string& out, double x);
// A double as the shortest text that reads back as it (1.5, 1e+16, 1e-05),
// never integral-looking without a fraction (2.0). Finite values only.
void append_double_text(std::string& out, double x);

// A JavaScript time value as Date.prototype.toISOString writes it, or nothing
// for an invalid date (beyond ±8.64e15 ms, or not finite).
[[nodiscard]] std::optional<std::string> js_iso_date(double ms);
// `{"$date": "..."}` or `{"$date": null}`.
void append_json_date(std::string& out, double ms);

// A non-negative little-endian integer of any length in decimal; beyond
// bigint_decimal_bits bits, as "0x" and lowercase hex (decimal conversion of
// huge numbers costs time growing with the square of their length).
inline constexpr std::size_t bigint_decimal_bits = 34'000;
void append_bigint_text(std::string& out, Bytes magnitude_le, bool negative);

}  // namespace tarnwick::chromium
