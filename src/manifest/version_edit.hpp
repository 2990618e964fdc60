// A version edit: one logical record of a MANIFEST file, a sequence of
// (varint tag, field) pairs describing table files added and removed and a few
// counters.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "util/function_ref.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

// The tags the engine writes. Tag 8 once held large value references and is no
// longer written; it, tag 0 and every tag above 9 end an edit, since the length
// of what follows them is unknown.
enum class VersionEditTag : std::uint64_t {
    Comparator = 1,
    LogNumber = 2,
    NextFileNumber = 3,
    LastSequence = 4,
    CompactPointer = 5,
    DeletedFile = 6,
    NewFile = 7,
    PrevLogNumber = 9,
};

// The fields of an edit. Byte strings are views into the record being decoded.

// The comparator's name, absent when it is not UTF-8.
struct ComparatorField {
    std::optional<std::string_view> name;
};

// Log number, next file number, last sequence or previous log number; absent
// when the number cannot be read.
struct NumberField {
    VersionEditTag tag;
    std::optional<std::uint64_t> value;
};

struct CompactPointer {
    std::uint64_t level = 0;
    Bytes key;
};

struct DeletedFile {
    std::uint64_t level = 0;
    std::uint64_t number = 0;
};

struct NewFile {
    std::uint64_t level = 0;
    std::uint64_t number = 0;
    std::uint64_t file_size = 0;
    Bytes smallest;
    Bytes largest;
};

using VersionEditField = std::variant<ComparatorField, NumberField, CompactPointer, DeletedFile, NewFile>;

// Calls `visit` with each field of the edit in record order, holding nothing:
// what a manifest keeps of its edits is the caller's choice. Never fails. A
// tag that ends the edit ends it, keeping what was visited before; a part of a
// field that cannot be read is absent, 0 or empty and consumes nothing, so
// decoding goes on from where that part began.
void for_each_version_edit_field(Bytes record, FunctionRef<void(const VersionEditField&)> visit);

// Every field of an edit gathered by kind; a later value of a single-valued
// field replaces an earlier one. Views into `record`, valid while it is.
struct VersionEdit {
    std::optional<std::string_view> comparator;
    std::optional<std::uint64_t> log_number;
    std::optional<std::uint64_t> next_file_number;
    std::optional<std::uint64_t> last_sequence;
    std::vector<CompactPointer> compact_pointers;
    std::vector<DeletedFile> deleted_files;
    std::vector<NewFile> new_files;
    std::optional<std::uint64_t> prev_log_number;
};

VersionEdit decode_version_edit(Bytes record);

}  // namespace tarnwick
