#include "chromium_store/byte_text.hpp"

#include <cstdio>

#include "chromium_decode/json_text.hpp"

namespace tarnwick::chromium {

bool is_utf8(Bytes bytes) {
    // Plain ASCII, the usual case, needs no JSON text made to be checked.
    bool ascii = true;
    for (const std::uint8_t b : bytes) ascii = ascii && b < 0x80;
    if (ascii) return true;
    std::string scratch;
    return append_json_utf8(scratch, bytes);
}

std::optional<std::string> ascii_error(Bytes bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] >= 0x80) {
            char reason[160];
            std::snprintf(reason, sizeof reason,
                          "UnicodeDecodeError: 'ascii' codec can't decode byte 0x%02x in position %zu: "
                          "ordinal not in range(128)",
                          bytes[i], i);
            return reason;
        }
    }
    return std::nullopt;
}

std::string json_string(std::string_view utf8) {
    std::string out;
    if (!append_json_utf8(out, as_bytes(utf8))) append_json_latin1(out, as_bytes(utf8));
    return out;
}

}  // namespace tarnwick::chromium
