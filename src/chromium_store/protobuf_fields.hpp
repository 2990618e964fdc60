// Just enough of the protobuf wire format for Chromium's small metadata
// messages (Local Storage's write and access times, IndexedDB's bucket and
// task records).
//
// A message is a run of fields, each a varint tag (field number << 3 | wire
// type) and a value whose form the wire type gives: a varint, eight or four
// little-endian bytes, or a varint length and that many bytes. The messages
// are read without their schema, the way a parser keeps unknown fields: a
// field that appears twice keeps its last value, in the place of its first.
#pragma once

#include <cstdint>
#include <vector>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

inline constexpr std::uint8_t protobuf_wire_varint = 0;
inline constexpr std::uint8_t protobuf_wire_fixed64 = 1;
inline constexpr std::uint8_t protobuf_wire_length_delimited = 2;
inline constexpr std::uint8_t protobuf_wire_fixed32 = 5;
inline constexpr unsigned protobuf_wire_type_bits = 3;

struct ProtobufField {
    std::uint64_t number = 0;
    std::uint8_t wire_type = 0;
    // The value of a varint or fixed-width field.
    std::uint64_t integer = 0;
    // The bytes of a length-delimited field (a view into the message).
    Bytes bytes;

    [[nodiscard]] bool is_integer() const noexcept { return wire_type != protobuf_wire_length_delimited; }
    // A varint declared int64: the two's complement of its 64 bits.
    [[nodiscard]] std::int64_t as_int64() const noexcept { return static_cast<std::int64_t>(integer); }
};

class ProtobufFields {
   public:
    // Fails on a wire type other than the four above (groups are not used by
    // these messages) and on a field cut short.
    [[nodiscard]] static Decoded<ProtobufFields> read(Bytes message);

    // In the order of their first appearance, each with its last value.
    [[nodiscard]] const std::vector<ProtobufField>& fields() const noexcept { return fields_; }
    [[nodiscard]] const ProtobufField* find(std::uint64_t number) const noexcept;

   private:
    std::vector<ProtobufField> fields_;
};

// The same fields in the IndexedDB decoder's form: each number once, in the
// place it first appeared, with its last value.
struct ProtoField {
    std::uint64_t number = 0;
    bool is_bytes = false;           // length-delimited: `bytes` holds it
    std::uint64_t number_value = 0;  // otherwise its value as an unsigned integer
    Bytes bytes;
};
[[nodiscard]] Decoded<std::vector<ProtoField>> protobuf_fields(Bytes message);
// The field `number`, if the message has it.
[[nodiscard]] const ProtoField* find_field(const std::vector<ProtoField>& fields, std::uint64_t number);

}  // namespace tarnwick::chromium
