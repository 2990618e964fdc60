// The value of an IndexedDB object-store record: a varint record version,
// then Blink's SerializedScriptValue, either as it is, or behind one of the
// prefixes Blink uses for values it had to process: FF 11 02 and raw Snappy
// of the value, or FF 11 01, a size and the index of the external Blob file
// that holds the value. A genuine SerializedScriptValue of Blink version 17
// (0x11) always continues with FF, so the prefixes cannot be mistaken.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "chromium_decode/v8_value.hpp"

namespace tarnwick::chromium {

inline constexpr std::array<std::uint8_t, 3> wrapped_in_blob_prefix{0xFF, 0x11, 0x01};
inline constexpr std::array<std::uint8_t, 3> snappy_prefix{0xFF, 0x11, 0x02};
// A value stored in a Blob file may itself be compressed; no more layers than
// this are followed.
inline constexpr int max_value_layers = 3;

struct IdbValue {
    std::uint64_t record_version = 0;
    std::string stored_as;  // "plain", "snappy", "blob_file", "snappy+blob_file", ...
    // The value, when it is in the record itself.
    std::optional<DecodedValue> value;
    // Where it is when a Blob file holds it: the file's size and index in the
    // record's list of external objects.
    std::uint64_t blob_size = 0;
    std::uint64_t blob_index = 0;
};

[[nodiscard]] Decoded<IdbValue> decode_idb_value(Bytes record_value);

// The decoded value as one JSON object: record_version, stored_as, the
// versions and the value (or the Blob file's size and index).
[[nodiscard]] std::string idb_value_json(const IdbValue& v);

}  // namespace tarnwick::chromium
