// Just enough of the protobuf wire format for IndexedDB's small bookkeeping
// messages (the scopes log): each field is a varint key (field number << 3 |
// wire type), then a varint, 8 or 4 little-endian bytes, or a length and that
// many bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

struct ProtoField {
    std::uint64_t number = 0;
    bool is_bytes = false;     // length-delimited: `bytes` holds it
    std::uint64_t number_value = 0;  // otherwise its value as an unsigned integer
    Bytes bytes;
};

// The fields of one message, each number once in the place it first appeared,
// holding its last value (a repeated field keeps its last, as protobuf parsers
// do).
[[nodiscard]] Decoded<std::vector<ProtoField>> protobuf_fields(Bytes message);
// The field `number`, if the message has it.
[[nodiscard]] const ProtoField* find_field(const std::vector<ProtoField>& fields, std::uint64_t number);

}  // namespace tarnwick::chromium
