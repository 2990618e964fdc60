#include "chromium_store/protobuf_fields.hpp"

#include <unordered_map>

#include "chromium_decode/byte_reader.hpp"

namespace tarnwick::chromium {

Decoded<ProtobufFields> ProtobufFields::read(Bytes message) {
    ProtobufFields out;
    // Field number -> its place in fields_; a crafted message may repeat
    // numbers many times, so the lookup must not be a scan.
    std::unordered_map<std::uint64_t, std::size_t> place;
    ByteReader reader(message);
    while (!reader.at_end()) {
        DECODE_TRY(tag, reader.varint());
        ProtobufField field;
        field.number = tag >> protobuf_wire_type_bits;
        field.wire_type = static_cast<std::uint8_t>(tag & ((1U << protobuf_wire_type_bits) - 1));
        switch (field.wire_type) {
            case protobuf_wire_varint: {
                DECODE_TRY(value, reader.varint());
                field.integer = value;
                break;
            }
            case protobuf_wire_fixed64:
            case protobuf_wire_fixed32: {
                const std::size_t width = field.wire_type == protobuf_wire_fixed64 ? 8 : 4;
                DECODE_TRY(raw, reader.take(width));
                field.integer = width == 8 ? read_fixed64(raw, 0) : read_fixed32(raw, 0);
                break;
            }
            case protobuf_wire_length_delimited: {
                DECODE_TRY(length, reader.varint());
                DECODE_TRY(bytes, reader.take(length));
                field.bytes = bytes;
                break;
            }
            default:
                return decode_error("protobuf wire type " + std::to_string(field.wire_type) + " not expected");
        }
        const auto [it, added] = place.try_emplace(field.number, out.fields_.size());
        if (added) {
            out.fields_.push_back(field);
        } else {
            out.fields_[it->second] = field;
        }
    }
    return out;
}

const ProtobufField* ProtobufFields::find(std::uint64_t number) const noexcept {
    for (const ProtobufField& field : fields_) {
        if (field.number == number) return &field;
    }
    return nullptr;
}

Decoded<std::vector<ProtoField>> protobuf_fields(Bytes message) {
    DECODE_TRY(read, ProtobufFields::read(message));
    std::vector<ProtoField> out;
    out.reserve(read.fields().size());
    for (const ProtobufField& field : read.fields()) {
        out.push_back(ProtoField{field.number, !field.is_integer(), field.is_integer() ? field.integer : 0, field.bytes});
    }
    return out;
}

const ProtoField* find_field(const std::vector<ProtoField>& fields, std::uint64_t number) {
    for (const ProtoField& field : fields) {
        if (field.number == number) return &field;
    }
    return nullptr;
}

}  // namespace tarnwick::chromium
