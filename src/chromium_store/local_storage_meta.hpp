// The values of Local Storage's META and METAACCESS records: small protobuf
// messages (LocalStorageAreaWriteMetaData: 1 last_modified, microseconds
// since 1601, 2 size_bytes; LocalStorageAreaAccessMetaData: 1 last_accessed).
#pragma once

#include <cstdint>
#include <optional>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

inline constexpr std::uint64_t local_storage_meta_time_field = 1;
inline constexpr std::uint64_t local_storage_meta_size_field = 2;

struct LocalStorageMeta {
    std::int64_t time_us = 0;            // last_modified, or last_accessed
    std::optional<std::uint64_t> size;   // size_bytes, when it is a number
};

// Fails when the message cannot be read or has no time.
[[nodiscard]] Decoded<LocalStorageMeta> read_local_storage_meta(Bytes value);

}  // namespace tarnwick::chromium
