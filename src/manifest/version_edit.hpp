// A version edit: one logical record of a MANIFEST file, a sequence of
// (varint tag, field) pairs describing table files added and removed and a few
// counters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "varint/varint.hpp"

namespace tarnwick {

struct CompactPointer {
    std::uint64_t level = 0;
    std::vector<std::uint8_t> key;
};

struct DeletedFile {
    std::uint64_t level = 0;
    std::uint64_t number = 0;
};

struct NewFile {
    std::uint64_t level = 0;
    std::uint64_t number = 0;
    std::uint64_t file_size = 0;
    std::vector<std::uint8_t> smallest;
    std::vector<std::uint8_t> largest;
};

struct VersionEdit {
    std::optional<std::string> comparator;             // tag 1
    std::optional<std::uint64_t> log_number;           // tag 2
    std::optional<std::uint64_t> next_file_number;     // tag 3
    std::optional<std::uint64_t> last_sequence;        // tag 4
    std::vector<CompactPointer> compact_pointers;      // tag 5
    std::vector<DeletedFile> deleted_files;            // tag 6
    std::vector<NewFile> new_files;                    // tag 7
    std::optional<std::uint64_t> prev_log_number;      // tag 9
};

// Never fails. Tags 0, 8 and anything above 9 end the edit, keeping what was
// decoded before; a field that cannot be read is absent, 0 or empty and
// consumes nothing, so decoding goes on from where that field began.
VersionEdit decode_version_edit(Bytes bytes);

}  // namespace tarnwick
