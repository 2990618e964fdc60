#include "chromium_store/protobuf_fields.hpp"

#include <algorithm>
#include <unordered_map>

#include "chromium_decode/byte_reader.hpp"

namespace tarnwick::chromium {

namespace {

constexpr unsigned wire_type_bits = 3;
constexpr std::uint64_t wire_type_mask = 7;
enum WireType : std::uint64_t { wire_varint = 0, wire_i64 = 1, wire_len = 2, wire_i32 = 5 };

Decoded<std::uint64_t> fixed_le(ByteReader& cur, std::size_t width) {
    DECODE_TRY(raw, cur.take(width));
    std::uint64_t value = 0;
    for (std::size_t i = raw.size(); i-- > 0;) value = (value << 8) | raw[i];
    return value;
}

}  // namespace

Decoded<std::vector<ProtoField>> protobuf_fields(Bytes message) {
    ByteReader cur(message);
    std::vector<ProtoField> fields;
    // Where each number sits, so that a message of many fields costs no more
    // than its length.
    std::unordered_map<std::uint64_t, std::size_t> place;
    while (!cur.at_end()) {
        DECODE_TRY(key, cur.varint());
        ProtoField field;
        field.number = key >> wire_type_bits;
        const std::uint64_t wire = key & wire_type_mask;
        if (wire == wire_varint) {
            DECODE_TRY(v, cur.varint());
            field.number_value = v;
        } else if (wire == wire_len) {
            DECODE_TRY(n, cur.varint());
            DECODE_TRY(b, cur.take(n));
            field.is_bytes = true;
            field.bytes = b;
        } else if (wire == wire_i64 || wire == wire_i32) {
            DECODE_TRY(v, fixed_le(cur, wire == wire_i64 ? 8 : 4));
            field.number_value = v;
        } else {
            return decode_error("protobuf wire type " + std::to_string(wire) + " not expected");
        }
        const auto [at, added] = place.try_emplace(field.number, fields.size());
        if (added) {
            fields.push_back(field);
        } else {
            fields[at->second] = field;
        }
    }
    return fields;
}

const ProtoField* find_field(const std::vector<ProtoField>& fields, std::uint64_t number) {
    auto it = std::ranges::find(fields, number, &ProtoField::number);
    return it == fields.end() ? nullptr : &*it;
}

}  // namespace tarnwick::chromium
