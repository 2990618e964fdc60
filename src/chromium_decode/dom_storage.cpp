#include "chromium_decode/dom_storage.hpp"

#include <cstdio>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

namespace {

constexpr std::uint8_t format_utf16 = 0;
constexpr std::uint8_t format_latin1 = 1;

Decoded<std::string> utf16_le(Bytes data) {
    if (data.size() % 2 != 0) return decode_error("UTF-16 text of odd length " + std::to_string(data.size()));
    std::string out;
    append_json_utf16(out, data, false);
    return out;
}

}  // namespace

Decoded<std::string> decode_local_storage_string(Bytes data) {
    if (data.empty()) return std::string(R"("")");
    if (data[0] == format_utf16) return utf16_le(data.subspan(1));
    if (data[0] == format_latin1) {
        std::string out;
        append_json_latin1(out, data.subspan(1));
        return out;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", data[0]);
    return decode_error(std::string("unknown string format byte ") + hex);
}

Decoded<std::string> decode_session_storage_value(Bytes data) { return utf16_le(data); }

Decoded<std::string> decode_session_storage_key(Bytes data) {
    std::string out;
    if (!append_json_utf8(out, data)) return decode_error("script key is not valid UTF-8");
    return out;
}

}  // namespace tarnwick::chromium
