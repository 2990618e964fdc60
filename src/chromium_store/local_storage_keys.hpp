// The keys of Local Storage (<profile>/Local Storage/leveldb).
//
//   VERSION                       the schema version, decimal text
//   META:<storage key>            when the area was last written and its size
//   METAACCESS:<storage key>      when it was last read
//                                 (both protobufs: local_storage_meta.hpp)
//   _<storage key> 00 <script key>   a page's key, whose value is the page's value
//
// Script keys and values start with a format byte: 00 and UTF-16LE code
// units follow, or 01 and Latin-1 bytes follow.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwick::chromium {

inline constexpr std::string_view local_storage_version_key = "VERSION";
inline constexpr std::string_view local_storage_meta_prefix = "META:";
inline constexpr std::string_view local_storage_meta_access_prefix = "METAACCESS:";
inline constexpr std::uint8_t local_storage_data_prefix = '_';
inline constexpr std::uint8_t local_storage_storage_key_end = 0x00;

}  // namespace tarnwick::chromium
