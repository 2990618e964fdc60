#include "chromium_decode/idb_key.hpp"

#include <cstdio>
#include <vector>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

// Encoded key types.
enum KeyType : std::uint8_t {
    key_null = 0,
    key_string = 1,
    key_date = 2,
    key_number = 3,
    key_array = 4,
    key_min = 5,
    key_binary = 6,
};

Decoded<void> append_scalar_key(ByteReader& cur, std::uint8_t type, std::string& out) {
    switch (type) {
        case key_string: {
            DECODE_TRY(units, cur.varint());
            if (units > cur.remaining() / 2) return decode_error("string key of " + std::to_string(units) +
                                                                 " code units in " + std::to_string(cur.remaining()) +
                                                                 " bytes");
            DECODE_TRY(raw, cur.take(2 * units));
            append_json_utf16(out, raw, true);
            return {};
        }
        case key_number: {
            DECODE_TRY(x, cur.double_le());
            append_json_number(out, x);
            return {};
        }
        case key_date: {
            DECODE_TRY(ms, cur.double_le());
            append_json_date(out, ms);
            return {};
        }
        case key_binary: {
            DECODE_TRY(n, cur.varint());
            DECODE_TRY(raw, cur.take(n));
            out += R"({"$binary":)";
            append_json_hex(out, raw);
            out += '}';
            return {};
        }
        case key_null: out += R"({"$key":"none"})"; return {};
        case key_min: out += R"({"$key":"min"})"; return {};
        default: break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", type);
    return decode_error(std::string("unknown IDB key type ") + hex);
}

}  // namespace

Decoded<std::string> decode_idb_key(ByteReader& cur) {
    // Array keys nest up to 2,000 deep: an explicit stack of the items each
    // open array still expects.
    std::vector<std::uint64_t> expected;
    std::string out;
    while (true) {
        DECODE_TRY(type, cur.byte());
        if (type == key_array) {
            DECODE_TRY(count, cur.varint());
            if (count > cur.remaining()) {
                return decode_error("array key of " + std::to_string(count) + " items in " +
                                    std::to_string(cur.remaining()) + " bytes");
            }
            if (expected.size() >= max_key_depth) {
                return decode_error("array key nested deeper than " + std::to_string(max_key_depth));
            }
            out += '[';
            if (count > 0) {
                expected.push_back(count);
                continue;
            }
            out += ']';
        } else if (auto r = append_scalar_key(cur, type, out); !r) {
            return std::unexpected(r.error());
        }
        // One item finished: close every array it completes.
        while (!expected.empty()) {
            if (--expected.back() > 0) {
                out += ',';
                break;
            }
            expected.pop_back();
            out += ']';
        }
        if (expected.empty()) return out;
    }
}

Decoded<std::string> decode_whole_idb_key(Bytes data) {
    ByteReader cur(data);
    DECODE_TRY(key, decode_idb_key(cur));
    if (!cur.at_end()) return decode_error(std::to_string(cur.remaining()) + " bytes after the key");
    return key;
}

}  // namespace tarnwick::chromium
