// V8's serialization format (ValueSerializer) and Blink's envelope around it
// (SerializedScriptValue), decoded to the tagged JSON text of the Chromium
// decoders: values JSON cannot hold become one-key objects whose key starts
// with "$" ({"$undefined": true}, {"$date": ...}, {"$map": [...]}, ...).
//
// The data is a version header, then one value written as a tag byte and its
// payload, objects and arrays nesting. The decoder keeps its own stack, so no
// nesting a page can write reaches the machine's stack, and it counts what it
// builds against a budget tied to the value's bytes (budget.hpp).
#pragma once

#include <cstdint>
#include <string>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

// V8 itself nests values about 3,600 deep before its own stack runs out; the
// decoder takes that and more, and refuses only crafted data beyond this.
inline constexpr std::size_t max_value_depth = 10'000;

struct DecodedValue {
    std::string json;
    std::uint64_t blink_version = 0;  // 0 when there was no Blink envelope
    std::uint64_t v8_version = 0;
};

// V8 data starting with its own version header (FF, version).
[[nodiscard]] Decoded<DecodedValue> decode_v8_value(Bytes data);

// A SerializedScriptValue: Blink's version header (and, from Blink 21 on, the
// offset and size of a trailer), then the V8 data.
[[nodiscard]] Decoded<DecodedValue> decode_serialized_script_value(Bytes data);

}  // namespace tarnwick::chromium
