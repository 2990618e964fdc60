// One raw key/value record as found in one file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/function_ref.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

// What a record says about its key, decided from its own bytes.
enum class KeyState : std::uint8_t { Deleted = 0, Live = 1, Unknown = 2 };

// Which reader produced a record. The Python FileType is this value plus one.
enum class FileKind : std::uint8_t { Table = 0, Log = 1 };

// The path of a data file. Every record of a file refers to the same immutable
// text instead of carrying a copy of its own: a database can hold millions of
// records per file, and the path would otherwise cost as much as a small value.
using SharedPath = std::shared_ptr<const std::string>;

// A record owns its key and value (one allocation holding both, key first) and
// shares its file's path. It is built whole and never changed; it moves from
// the reader to the database's collection to the Python object, and is never
// copied.
class Record {
   public:
    Record(Bytes key, Bytes value, std::uint64_t seq, KeyState state, FileKind file_type,
           SharedPath origin_file, std::uint64_t offset, bool was_compressed);

    Record(Record&&) noexcept = default;
    Record& operator=(Record&&) noexcept = default;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    Bytes key() const noexcept { return {bytes_.get(), key_size_}; }
    Bytes value() const noexcept { return {bytes_.get() + key_size_, value_size_}; }
    // A table record's key ends in an 8-byte trailer (sequence number and type);
    // its user key is what comes before. A log record's key has no trailer.
    Bytes user_key() const noexcept;

    std::uint64_t seq() const noexcept { return seq_; }
    KeyState state() const noexcept { return state_; }
    FileKind file_type() const noexcept { return file_type_; }
    const std::string& origin_file() const noexcept { return *origin_file_; }
    std::uint64_t offset() const noexcept { return offset_; }
    bool was_compressed() const noexcept { return was_compressed_; }

   private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t key_size_;
    std::size_t value_size_;
    std::uint64_t seq_;
    std::uint64_t offset_;
    SharedPath origin_file_;
    KeyState state_;
    FileKind file_type_;
    bool was_compressed_;
};

// Where the readers deliver records, one at a time, in order.
using RecordSink = FunctionRef<void(Record&&)>;

}  // namespace tarnwick
