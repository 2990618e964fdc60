// IndexedDB external objects: the Blobs, Files and file-system handles of a
// record, listed in its «database, object store, 3, primary key» entry. Blob
// and File bytes lie in blob files (blob_files.hpp) named by their number.
//
// Since schema version 4 each entry starts with a type byte: Blob (number,
// type, size), File (number, type, size, name, last modified time) or a
// file-system access handle (a token). Up to schema version 3 entries had a
// "is a file" byte, a number and a type, then a name (File) or a size (Blob).
//
// A record value too large to keep in the record is itself such a Blob, of
// the wrapper type below, and the record only says where it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chromium_decode/decode_error.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

// The last schema version of the entries without a type byte.
inline constexpr std::uint64_t last_untyped_external_schema = 3;
// The type of the Blob that holds a record's value.
inline constexpr std::string_view value_wrapper_type = "application/vnd.blink-idb-value-wrapper";

enum class ExternalKind : std::uint8_t { Blob = 0, File = 1, FileSystemAccessHandle = 2 };

struct ExternalObject {
    ExternalKind kind = ExternalKind::Blob;
    std::optional<std::uint64_t> blob_number;
    std::optional<std::string> type_json;  // the MIME type, a JSON string literal
    std::optional<std::uint64_t> size;
    std::optional<std::string> name_json;  // a File's name, a JSON string literal
    std::optional<std::uint64_t> last_modified_us;
    std::optional<std::vector<std::uint8_t>> token;

    [[nodiscard]] bool is_value_wrapper() const;
    // Its description as JSON members without braces: "kind" (when
    // `with_kind`), "blob_number", "type", "size", "name", "last_modified",
    // "token", each only when the entry has it.
    void append_members(std::string& out, bool with_kind) const;
};

// `schema_version`: the store's, when known (the layout depends on it).
[[nodiscard]] Decoded<std::vector<ExternalObject>> decode_external_objects(
    Bytes data, std::optional<std::uint64_t> schema_version);

// The list as a JSON array of descriptions.
[[nodiscard]] std::string external_objects_json(const std::vector<ExternalObject>& objects);

}  // namespace tarnwick::chromium
