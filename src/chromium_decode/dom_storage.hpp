// The script keys and values of Local Storage and Session Storage, as JSON
// strings.
//
// Local Storage writes each script key and value with a format byte first:
// 00 and UTF-16LE code units follow, or 01 and Latin-1 bytes follow. Session
// Storage writes script keys as UTF-8 and values as bare UTF-16LE. Pages store
// lone surrogates; they come out as \udXXX escapes (json_text.hpp).
#pragma once

#include <string>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

// A Local Storage script key or value. Empty bytes are the empty string, as
// Chromium's own reader takes them.
[[nodiscard]] Decoded<std::string> decode_local_storage_string(Bytes data);
// A Session Storage script value.
[[nodiscard]] Decoded<std::string> decode_session_storage_value(Bytes data);
// A Session Storage script key (the part of a map key after "map-<n>-").
[[nodiscard]] Decoded<std::string> decode_session_storage_key(Bytes data);

}  // namespace tarnwick::chromium
