// One raw key/value record as found in one file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/function_ref.hpp"
#include "util/shared_path.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

// What a record says about its key, decided from its own bytes.
enum class KeyState : std::uint8_t { Deleted = 0, Live = 1, Unknown = 2 };

// The type byte that the engine writes after every key it stores: in the
// trailer of a table's internal key and as the tag of a write-batch entry.
// Only a deletion is told apart; any other type is read as a value.
inline constexpr std::uint8_t TYPE_DELETION = 0x0;
inline constexpr std::uint8_t TYPE_VALUE = 0x1;

// A table's internal key is the user key, then eight little-endian bytes
// holding the sequence number (upper 56 bits) and the type byte (lowest 8).
inline constexpr std::size_t INTERNAL_KEY_TRAILER_SIZE = 8;
inline constexpr unsigned SEQUENCE_SHIFT = 8;
inline constexpr std::uint64_t TYPE_MASK = 0xFF;

// Which reader produced a record. The Python FileType is this value plus one.
enum class FileKind : std::uint8_t { Table = 0, Log = 1 };

// A record as a reader finds it: its eight fields, with the key and value still
// lying in the reader's buffers (the mapping, a decompressed block, the
// running key of a block). Valid only while the reader's callback runs; whoever
// keeps the record copies the bytes out, once, into storage of its own (a
// Record, or a Python object).
struct RecordView {
    Bytes key;
    Bytes value;
    std::uint64_t seq;
    KeyState state;
    FileKind file_type;
    const SharedPath& origin_file;
    std::uint64_t offset;
    bool was_compressed;

    // A table record's key ends in an 8-byte trailer (sequence number and
    // type); its user key is what comes before. A log record's key has no
    // trailer.
    Bytes user_key() const noexcept {
        if (file_type == FileKind::Table && key.size() >= INTERNAL_KEY_TRAILER_SIZE) {
            return key.first(key.size() - INTERNAL_KEY_TRAILER_SIZE);
        }
        return key;
    }
};

// A record that owns its key and value (one allocation holding both, key
// first) and shares its file's path. It is built whole and never changed, and
// moves rather than copies.
class Record {
   public:
    explicit Record(const RecordView& view);

    Record(Record&&) noexcept = default;
    Record& operator=(Record&&) noexcept = default;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    Bytes key() const noexcept { return {bytes_.get(), key_size_}; }
    Bytes value() const noexcept { return {bytes_.get() + key_size_, value_size_}; }
    Bytes user_key() const noexcept { return view().user_key(); }

    std::uint64_t seq() const noexcept { return seq_; }
    KeyState state() const noexcept { return state_; }
    FileKind file_type() const noexcept { return file_type_; }
    const std::string& origin_file() const noexcept { return *origin_file_; }
    std::uint64_t offset() const noexcept { return offset_; }
    bool was_compressed() const noexcept { return was_compressed_; }

    RecordView view() const noexcept {
        return {key(), value(), seq_, state_, file_type_, origin_file_, offset_, was_compressed_};
    }

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
using RecordSink = FunctionRef<void(const RecordView&)>;

// A sink that keeps owned copies.
struct RecordCollector {
    std::vector<Record>& out;
    void operator()(const RecordView& view) const { out.emplace_back(view); }
};

}  // namespace tarnwick
