// File names in general: their stem and extension, the numbers in them, and
// whether they are text at all. Which names are a store's data files is the
// database layer's rule (db/data_file_name.hpp).
#pragma once

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
[[nodiscard]] StemAndExtension split_stem_extension(std::string_view name) noexcept;

// The whole text as an unsigned 64-bit number in base 16. One leading '+' is
// allowed; anything else that is not a hex digit, an empty text, a lone sign or
// a value above 2^64 - 1 fails. File names use decimal digits, and reading them
// in base 16 keeps their order, which is all the numbers are used for.
[[nodiscard]] std::optional<std::uint64_t> parse_hex_number(std::string_view text) noexcept;

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

// The final component of a path: the text after the last '/'.
[[nodiscard]] std::string_view file_name_of(std::string_view path) noexcept;

}  // namespace tarnwick
