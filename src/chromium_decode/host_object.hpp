// Blink's own objects inside V8 data ("host objects": Blob, File, geometry,
// DOMException, CryptoKey), each written as JSON text of its own.
#pragma once

#include <cstdint>
#include <string>

#include "chromium_decode/budget.hpp"
#include "chromium_decode/byte_reader.hpp"

namespace tarnwick::chromium {

// Reads the host object whose tag (after V8's host-object tag) is `tag` and
// appends it to `out`. Blobs and Files stored in IndexedDB are indexes into
// the record's list of external objects; they come out as
// {"index": n, "missing": true} until a caller resolves that list.
[[nodiscard]] Decoded<void> append_host_object(ByteReader& cur, std::uint8_t tag, Budget& budget, std::string& out);

}  // namespace tarnwick::chromium
