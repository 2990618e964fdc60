// The names of KeyState and FileKind members as every output shows them: the
// Python classes KeyState and FileType, record reprs, the scanner's Arrow
// dictionaries and text, and the read report. One table each, indexed by the
// member's value. Each name is a string literal, so .data() is terminated
// for the C functions that want that.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "db/data_file_name.hpp"
#include "db/record.hpp"

namespace tarnwick {

inline constexpr std::array<std::string_view, 3> KEY_STATE_NAMES = {"Deleted", "Live", "Unknown"};
// A table file's records show as "Ldb", whatever the file's extension.
inline constexpr std::array<std::string_view, 2> FILE_KIND_NAMES = {"Ldb", "Log"};

// The name of a state; a value outside the enumeration reads as Unknown.
[[nodiscard]] constexpr std::string_view name_of(KeyState state) noexcept {
    const auto index = static_cast<std::size_t>(state);
    return index < KEY_STATE_NAMES.size() ? KEY_STATE_NAMES[index] : KEY_STATE_NAMES[2];
}

[[nodiscard]] constexpr std::string_view name_of(FileKind kind) noexcept {
    return FILE_KIND_NAMES[kind == FileKind::Table ? 0 : 1];
}

[[nodiscard]] constexpr FileKind file_kind_of(DataFileKind kind) noexcept {
    return kind == DataFileKind::Table ? FileKind::Table : FileKind::Log;
}

}  // namespace tarnwick
