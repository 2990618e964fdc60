// Finding a table's blocks without its index: block carving.
//
// A table's blocks lie back to back from offset 0, each followed by a 5-byte
// trailer: the compression type (0 raw, 1 Snappy), then the masked CRC-32C of
// the contents and the type byte. A block [s, e) with its type byte at e is
// therefore recognised by its own bytes: crc(bytes[s, e]) equals the stored
// checksum at e + 1. The carver finds every such block in one pass over the
// bytes, whatever has become of the footer and the index.
//
// The pass keeps one running CRC over the whole file, C(p) = crc(bytes[0, p)).
// Since crc(A || B) = crc(A) * x^(8|B|) + crc(B), the stretch [s, E) has the
// CRC c exactly when
//     C(s) * x^(-8s)  ==  (C(E) + c) * x^(-8E)
// so each candidate start s leaves one 32-bit key, and each candidate end E
// (a type byte 0 or 1 followed by a checksum) looks up the key it needs: every
// start is tested against every end without running the CRC twice over any
// byte, and no start needs to be known before the pass reaches it.
//
// Candidate ends are type bytes 0 and 1, a raw block's only if the four bytes
// before it hold a restart count whose restart array fits and begins with 0,
// as every block the engine writes does (zero bytes abound in raw blocks; this
// keeps them from all becoming candidates). Candidate starts are offset 0 and
// right after each candidate end's trailer: the trailer of a damaged block
// still sits where it did, so the block after it is found. Damage to a raw
// block's restart count or to a trailer's type byte also loses the block after.
//
// Once a block is found, blocks cannot overlap it: the starts before its end
// are dropped and the next block starts right after its trailer, a start that
// is kept however long that block turns out to be. In a damaged stretch at most
// kMaxOpenStarts candidate starts are kept, the most recent ones, which bounds
// the memory and the chance of a false match (about kMaxOpenStarts / 2^32 per
// candidate end, before the block's decoding rejects it anyway).
#pragma once

#include <cstdint>

#include "ldb_file/block_handle.hpp"
#include "util/bytes.hpp"
#include "util/function_ref.hpp"

namespace tarnwick {

// A block whose trailer's checksum matches its contents: the contents are
// [offset, offset + size), the trailer's type byte is `type`.
struct CarvedBlock {
    std::uint64_t offset;
    std::uint64_t size;
    std::uint8_t type;

    BlockHandle handle() const noexcept { return {offset, size}; }
    // Where the trailer ends.
    std::uint64_t end() const noexcept { return offset + size + BLOCK_TRAILER_SIZE; }
    friend bool operator==(const CarvedBlock&, const CarvedBlock&) = default;
};

// How many candidate starts a damaged stretch keeps at once.
inline constexpr std::size_t kMaxOpenStarts = 16384;

// Calls `found` for each block whose checksum matches, in file order. `found`
// answers whether the block is one (its contents decode): only then does the
// pass take it as a boundary, so that a chance match in damaged bytes costs no
// real block after it. The blocks accepted do not overlap. One pass; work and
// memory linear in the bytes.
void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found);

}  // namespace tarnwick
