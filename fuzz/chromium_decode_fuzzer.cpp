// The Chromium decoders over arbitrary bytes. The first byte chooses the
// decoder (a V8 value, a SerializedScriptValue, an IndexedDB record value or
// key, a Local or Session Storage string); the rest is its input. Besides
// the sanitizers, it checks that a value never expands beyond a small
// multiple of its budget and that every text is valid JSON in shape (it
// starts and ends as the kind it is).
#include <cstdint>
#include <string>

#include "check.hpp"
#include "chromium_decode/budget.hpp"
#include "chromium_decode/dom_storage.hpp"
#include "chromium_decode/idb_key.hpp"
#include "chromium_decode/idb_value.hpp"
#include "chromium_decode/v8_value.hpp"
#include "ldb_file/snappy.hpp"

using namespace tarnwick;
using namespace tarnwick::chromium;

namespace {

// Budget units are about one character of JSON each; escapes and the fixed
// text of a tag ({"$undefined": true} for one tag byte) make a character
// count at most this many times the units.
constexpr std::uint64_t chars_per_unit = 8;
// An IndexedDB key writes at most this many characters per byte of key (a
// one-byte minimum key inside an array: {"$key": "min"}, ).
constexpr std::uint64_t key_chars_per_byte = 17;
// A storage string: a Latin-1 control byte becomes \u00XX.
constexpr std::uint64_t string_chars_per_byte = 6;
constexpr std::uint64_t slack = 256;

void check_value(const Decoded<DecodedValue>& v, std::uint64_t budget_bytes) {
    if (!v) {
        FUZZ_CHECK(!v.error().reason.empty());
        return;
    }
    FUZZ_CHECK(!v->json.empty());
    FUZZ_CHECK(v->json.size() <= chars_per_unit * budget_for(budget_bytes) + slack);
}

void check_string(const Decoded<std::string>& s, std::uint64_t size) {
    if (!s) return;
    FUZZ_CHECK(s->size() >= 2 && s->front() == '"' && s->back() == '"');
    FUZZ_CHECK(s->size() <= string_chars_per_byte * size + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Bytes input(data + 1, size - 1);
    switch (data[0] % 6) {
        case 0: check_value(decode_v8_value(input), input.size()); break;
        case 1: check_value(decode_serialized_script_value(input), input.size()); break;
        case 2: {
            const auto v = decode_idb_value(input);
            if (v && v->value) {
                // The budget grows with the value's bytes after Snappy.
                check_value(*v->value, snappy_max_expansion(input.size()));
            }
            break;
        }
        case 3: {
            const auto key = decode_whole_idb_key(input);
            if (key) FUZZ_CHECK(key->size() <= key_chars_per_byte * input.size() + slack);
            break;
        }
        case 4: check_string(decode_local_storage_string(input), input.size()); break;
        default: check_string(decode_session_storage_value(input), input.size()); break;
    }
    return 0;
}
