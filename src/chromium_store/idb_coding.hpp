// The small codings of IndexedDB's LevelDB keys and metadata values.
//
// Every key starts with a «database, object store, index» id prefix: a first
// byte holding the widths of the three ids (bits 7-5: database id bytes - 1,
// bits 4-2: object store id bytes - 1, bits 1-0: index id bytes - 1), then the
// ids as little-endian integers of those widths. Names are UTF-16BE code units
// after a varint count of them. Metadata numbers ("Int" fields) are
// little-endian, as many bytes as the value has (1 to 8).
//
// Names are kept as WTF-8: UTF-8 that also spells out a lone surrogate (pages
// do name databases with them) in its three-byte form, so that no code unit is
// lost on the way to the outputs.
#pragma once

#include <cstdint>
#include <string>

#include "chromium_decode/byte_reader.hpp"

namespace tarnwick::chromium {

struct IdbPrefix {
    std::uint64_t database = 0;
    std::uint64_t object_store = 0;
    std::uint64_t index = 0;
};

[[nodiscard]] Decoded<IdbPrefix> read_idb_prefix(ByteReader& cur);
// The code units (an even number of bytes) of a counted UTF-16BE string.
[[nodiscard]] Decoded<Bytes> read_counted_utf16(ByteReader& cur);
// An Int field.
[[nodiscard]] Decoded<std::uint64_t> idb_int(Bytes data);
// UTF-16BE code units (even size) as WTF-8.
[[nodiscard]] std::string wtf8_from_utf16be(Bytes code_units);
// A WTF-8 name as a JSON string literal, a lone surrogate as its \udXXX escape.
void append_json_wtf8(std::string& out, std::string_view wtf8);
// A whole value of UTF-16BE code units as a JSON string literal.
[[nodiscard]] Decoded<std::string> utf16be_json(Bytes data);
// A key path as JSON: null, a string or a list of strings. The typed forms
// start with two zero bytes and a type byte; in the legacy form the whole
// value is the path.
[[nodiscard]] Decoded<std::string> key_path_json(Bytes data);

}  // namespace tarnwick::chromium
