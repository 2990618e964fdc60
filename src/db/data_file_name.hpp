// The names of a store's data files: the table files and logs that the
// engine names after their file numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

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
[[nodiscard]] std::uint64_t file_number_of(std::string_view path) noexcept;

}  // namespace tarnwick
