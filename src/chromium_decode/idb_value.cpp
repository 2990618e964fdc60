#include "chromium_decode/idb_value.hpp"

#include <algorithm>
#include <array>

#include "chromium_decode/byte_reader.hpp"
#include "chromium_decode/json_text.hpp"
#include "ldb_file/snappy.hpp"

namespace tarnwick::chromium {

namespace {

bool starts_with(Bytes data, const std::array<std::uint8_t, 3>& prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

}  // namespace

Decoded<IdbValue> decode_idb_value(Bytes record_value) {
    IdbValue result;
    ByteReader cur(record_value);
    DECODE_TRY(record_version, cur.varint());
    result.record_version = record_version;
    Bytes value = record_value.subspan(cur.pos());
    ByteBuffer decompressed;
    for (int layer = 0; layer < max_value_layers; ++layer) {
        if (starts_with(value, wrapped_in_blob_prefix)) {
            ByteReader wrapped(value, wrapped_in_blob_prefix.size());
            DECODE_TRY(size, wrapped.varint());
            DECODE_TRY(index, wrapped.varint());
            result.stored_as += result.stored_as.empty() ? "blob_file" : "+blob_file";
            result.blob_size = size;
            result.blob_index = index;
            return result;
        }
        if (!starts_with(value, snappy_prefix)) break;
        result.stored_as += result.stored_as.empty() ? "snappy" : "+snappy";
        auto inflated = decompress_snappy(value.subspan(snappy_prefix.size()));
        if (!inflated) return decode_error(inflated.error().message());
        decompressed = std::move(*inflated);
        value = Bytes(decompressed.data(), decompressed.size());
    }
    if (result.stored_as.empty()) result.stored_as = "plain";
    DECODE_TRY(decoded, decode_serialized_script_value(value));
    result.value = std::move(decoded);
    return result;
}

std::string idb_value_json(const IdbValue& v) {
    std::string out = R"({"record_version":)" + std::to_string(v.record_version) + R"(,"stored_as":)";
    append_json_ascii(out, v.stored_as);
    if (v.value) {
        out += R"(,"blink":)" + std::to_string(v.value->blink_version);
        out += R"(,"v8":)" + std::to_string(v.value->v8_version);
        out += R"(,"value":)" + v.value->json;
    } else {
        out += R"(,"blob_size":)" + std::to_string(v.blob_size);
        out += R"(,"blob_index":)" + std::to_string(v.blob_index);
    }
    out += '}';
    return out;
}

}  // namespace tarnwick::chromium
