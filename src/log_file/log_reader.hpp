// The log format, shared by write-ahead log files and the manifest.
//
// A log file is cut into blocks of 32 KiB. Each block holds physical records
// back to back: a 7-byte header (4-byte checksum, 2-byte payload length,
// 1-byte type) and the payload. A logical record is the payload of one Full
// record, or the payloads of a First, any number of Middle and a Last record
// joined together, possibly across blocks. Checksums are never read: a
// damaged record is still reported as far as its bytes can be decoded.
#pragma once

#include <cstdint>
#include <vector>

#include "db/file_pass.hpp"
#include "util/function_ref.hpp"
#include "db/pass_observer.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

inline constexpr std::size_t LOG_BLOCK_SIZE = 32768;
inline constexpr std::size_t LOG_HEADER_SIZE = 7;
// Where the header's fields lie: the checksum at 0 (never read), the payload
// length (16 bits, little-endian) and the type byte.
inline constexpr std::size_t LOG_HEADER_LENGTH_AT = 4;
inline constexpr std::size_t LOG_HEADER_TYPE_AT = 6;

enum class RecordType : std::uint8_t { Zero = 0, Full = 1, First = 2, Middle = 3, Last = 4 };

struct LogicalRecord {
    // The file position just past the Full record, or just past the First
    // fragment, that holds the record's start.
    std::uint64_t offset;
    std::vector<std::uint8_t> payload;
};

// Called with each logical record in file order. The payload is borrowed and
// valid only during the call: it lies in a buffer that the next block or
// fragment reuses.
using LogicalRecordVisitor = FunctionRef<void(std::uint64_t offset, Bytes payload)>;

// The block and fragment procedure over the bytes a pass may read. Never
// fails: a type above 4 or a payload running past its block skips the rest of
// that block, 1 to 6 trailing bytes are padding, a Middle or Last without a
// First is ignored, a First or Full during assembly abandons the partial
// record, and a fragment still open at the end is dropped. Each block is
// copied out of the file before it is decoded, so that a block the file lost
// while it was read ends the pass instead of giving zeros. Blocks lying wholly
// in a hole of a sparse file are jumped over: their zeros would give nothing.
void for_each_logical_record(FilePass& pass, LogicalRecordVisitor visit, PassObserver* observer = nullptr);

// The same over the first `size` bytes of `bytes` (never more than it holds).
void for_each_logical_record(Bytes bytes, std::uint64_t size, LogicalRecordVisitor visit);

// The same, gathered into a list of owned records.
std::vector<LogicalRecord> read_logical_records(Bytes bytes, std::uint64_t size);

}  // namespace tarnwick
