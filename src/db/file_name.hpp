// File names: their stem and extension, the numbers in them, and whether they
// are text at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

struct StemAndExtension {
    std::string_view stem;
    // Absent when the name has no dot, or its only dot is its first character
    // (".log"); present but empty when the name ends in a dot.
    std::optional<std::string_view> extension;
};

// The extension is the text after the last dot, the stem the text before it.
StemAndExtension split_stem_extension(std::string_view name) noexcept;

// The whole text as an unsigned 64-bit number in base 16. One leading '+' is
// allowed; anything else that is not a hex digit, an empty text, a lone sign or
// a value above 2^64 - 1 fails. File names use decimal digits, and reading them
// in base 16 keeps their order, which is all the numbers are used for.
std::optional<std::uint64_t> parse_hex_number(std::string_view text) noexcept;

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text) noexcept;

// The final component of a path: the text after the last '/'.
std::string_view file_name_of(std::string_view path) noexcept;

enum class DataFileKind : std::uint8_t { Table, Log };
struct DataFileName { DataFileKind kind; std::uint64_t number; };

// A data file's stem has 6 to 16 digits: six is the engine's zero padding,
// sixteen the most that parse_hex_number holds whatever the digits are.
inline constexpr std::size_t kMinDataFileStemDigits = 6;
inline constexpr std::size_t kMaxDataFileStemDigits = 16;

// The kind and number of a data file's name (stem of 6 to 16 ASCII digits, a dot, and the
// extension log, ldb or sst in any case), or nothing for any other name.
//
// The engine names a data file after its number padded with zeros to six
// digits, so from number 1,000,000 on its names have seven digits and more.
// It never pads past six, so reading the stems in base 16 keeps their order.
[[nodiscard]] std::optional<DataFileName> data_file_name(std::string_view name) noexcept;

// The number of a data file: its name's stem read by parse_hex_number, or 0
// when the name is not text or the stem is not a number.
std::uint64_t file_number_of(std::string_view path) noexcept;

}  // namespace tarnwick
