// Write batches: the payload of each logical record of a log file.
//
//   bytes 0-7   sequence number S of the first entry (little-endian)
//   bytes 8-11  entry count N
//   then N entries: a tag byte (0 deletion, 1 value, others read like 1),
//   the key as a 32-bit varint length and bytes, and unless the tag is 0 the
//   value the same way.
#pragma once

#include <cstdint>

#include "db/record.hpp"

namespace tarnwick {

inline constexpr std::size_t BATCH_SEQUENCE_OFFSET = 0;
inline constexpr std::size_t BATCH_COUNT_OFFSET = 8;
inline constexpr std::size_t BATCH_HEADER_SIZE = 12;

// Appends one record per entry: seq S + i (modulo 2^64), offset = the logical
// record's offset + 12 + the entry's position among the entries. A batch
// shorter than its header or with count 0 gives nothing; an entry that is cut
// off or runs past the payload ends the batch, keeping the entries before it;
// bytes after the N-th entry are ignored.
void parse_write_batch(std::uint64_t record_offset, Bytes payload, const SharedPath& origin_file,
                       RecordSink sink);

}  // namespace tarnwick
