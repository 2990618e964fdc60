// IndexedDB's encoded keys: a type byte, then a number or date (a double), a
// string (UTF-16BE code units after their count), binary data (bytes after
// their count) or an array (its item count, then the items, keys again).
// Written as tagged JSON: numbers and strings as they are, dates as
// {"$date": ...}, binary keys as {"$binary": hex}, arrays as lists.
#pragma once

#include <string>

#include "chromium_decode/byte_reader.hpp"

namespace tarnwick::chromium {

// Chromium refuses array keys nested deeper than this.
inline constexpr std::size_t max_key_depth = 2000;

// One key starting at the reader's position; the reader ends after it.
[[nodiscard]] Decoded<std::string> decode_idb_key(ByteReader& cur);
// A key that must fill `data` exactly (a record key after its prefix).
[[nodiscard]] Decoded<std::string> decode_whole_idb_key(Bytes data);

}  // namespace tarnwick::chromium
