// The columns of decoded rows, and their Arrow schema.
//
//   seq, offset                 uint64
//   key, value, details         large_utf8 holding JSON text, marked with the
//                               Arrow extension type arrow.json
//   raw_key, raw_value          large_binary: the record's bytes, only where
//                               decoding failed
//   every other column          large_utf8 (64-bit offsets: one value may be
//                               large, and a batch is bounded by bytes, not
//                               by what 32-bit offsets can address)
// Every column but seq and offset may be null.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "scan/arrow_c_abi.hpp"

namespace tarnwick::chromium {

enum class RowColumn : std::size_t {
    StoreKind,
    Origin,
    TopLevelSite,
    Database,
    ObjectStore,
    Index,
    RecordType,
    Key,
    KeyType,
    Value,
    ValueType,
    State,
    VersionStatus,
    Seq,
    File,
    Offset,
    Namespace,
    StorageKey,
    StorePath,
    Error,
    RawKey,
    RawValue,
    Details,
};
inline constexpr std::size_t ROW_COLUMN_COUNT = 23;

inline constexpr std::array<std::string_view, ROW_COLUMN_COUNT> ROW_COLUMN_NAMES = {
    "store_kind", "origin",  "top_level_site", "database", "object_store", "index",      "record_type", "key",
    "key_type",   "value",   "value_type",     "state",    "version_status", "seq",      "file",        "offset",
    "namespace",  "storage_key", "store_path", "error",    "raw_key",      "raw_value", "details",
};

enum class ColumnShape : unsigned char { Text, Json, Binary, UInt64 };

[[nodiscard]] constexpr ColumnShape column_shape(RowColumn column) noexcept {
    switch (column) {
        case RowColumn::Seq:
        case RowColumn::Offset: return ColumnShape::UInt64;
        case RowColumn::Key:
        case RowColumn::Value:
        case RowColumn::Details: return ColumnShape::Json;
        case RowColumn::RawKey:
        case RowColumn::RawValue: return ColumnShape::Binary;
        default: return ColumnShape::Text;
    }
}

// Fills `out` with the schema of a row batch (a struct of the columns above);
// the caller releases it.
void export_row_schema(ArrowSchema* out);

}  // namespace tarnwick::chromium
