// The columns of a scan's record batches, and their Arrow schema.
//
//   key, user_key, value   large_binary (64-bit offsets: a batch may pass 2 GiB,
//                          since one record can be that large)
//   seq                    uint64
//   state                  dictionary<int8, utf8>: Deleted, Live, Unknown
//   file_type              dictionary<int8, utf8>: Ldb, Log
//   file                   dictionary<int32, utf8>: the paths of the batch's files
//   file_number, offset    uint64
//   was_compressed         bool
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "db/record_names.hpp"
#include "scan/arrow_c_abi.hpp"

namespace tarnwick {

enum class Column : std::size_t {
    Key,
    UserKey,
    Value,
    Seq,
    State,
    FileType,
    File,
    FileNumber,
    Offset,
    WasCompressed,
};
inline constexpr std::size_t COLUMN_COUNT = 10;

inline constexpr std::array<std::string_view, COLUMN_COUNT> COLUMN_NAMES = {
    "key", "user_key", "value", "seq", "state", "file_type", "file", "file_number", "offset", "was_compressed",
};

// The dictionaries of the two enumerations: the member names, in the order of
// their values, so that a record's index is its KeyState or FileKind value.
inline constexpr const auto& STATE_WORDS = KEY_STATE_NAMES;
inline constexpr const auto& FILE_TYPE_WORDS = FILE_KIND_NAMES;

// Fills `out` with the schema of a batch (a struct of the columns above); the
// caller releases it.
void export_record_schema(ArrowSchema* out);

}  // namespace tarnwick
