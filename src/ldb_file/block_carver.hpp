// Finding a table's blocks without its index: block carving.
//
// A table's blocks lie back to back from offset 0, each followed by a 5-byte
// trailer: the compression type (0 raw, 1 Snappy), then the masked CRC-32C of
// the contents and the type byte. A block [s, e) with its type byte at e is
// therefore recognised by its own bytes: crc(bytes[s, e]) equals the stored
// checksum at e + 1. The carver finds every such block in one pass over the
// bytes, whatever has become of the footer and the index.
//
// While the blocks follow one another, the pass runs the CRC from the start
// after the last block found, so a block's end is recognised by comparing the
// running CRC, at each candidate end, with the checksum stored after it: one
// pass, one comparison per candidate. The CRC runs 8 bytes a step; the
// register at a candidate inside a word is derived from the register before
// the word, beside the chain of steps rather than in it.
//
// After damage no block ends where the running CRC says, and the pass must
// find where blocks start again without restarting the CRC at every possible
// start (which would cost the square of the damaged length). It uses
//     crc(A || B) = crc(A) * x^(8|B|) + crc(B)
// with R(p) the CRC from a fixed origin to p: the stretch [s, E) has the CRC c
// exactly when
//     R(s) * x^(-8(s - origin))  ==  (R(E) + c) * x^(-8(E - origin))
// so each candidate start leaves one 32-bit key, and each candidate end looks
// up the key it needs: every start is tested against every end at once. This
// search begins when no block has ended within kMaxChainBytes of the start
// after the last one (or by the end of the bytes): that stretch is walked
// again, searching, from memory (the bytes were just read, and are never
// read twice from the disk). The search lasts until it finds a block beyond
// the stretch; the chain of blocks is then followed again. No byte is walked
// more than twice.
//
// Candidate ends are type bytes 0 and 1, a raw block's only if the four bytes
// before it hold a restart count whose restart array fits and begins with 0,
// as every block the engine writes does (zero bytes abound in raw blocks; this
// keeps them from all becoming candidates). While the blocks chain, a Snappy
// type byte is a candidate only where a Snappy block from the start after the
// last block could end, going by the length its first bytes announce (in an
// uncompressed table, whose blocks begin with a zero byte, nowhere); the
// search, whose starts are many, takes every one. Candidate starts are the start
// after the last block found and the byte right after each candidate end's
// trailer: the trailer of a damaged block still sits where it did, so the
// block after it is found. Damage to a raw block's restart count or to a
// trailer's type byte also loses the block after it. The filter block is
// stored raw but ends otherwise (the offset of its offset array and a base
// log byte, not a restart array), so it is never a candidate: it is not
// carved, nor is the metaindex block right after it, whose start follows no
// candidate trailer. A salvaging reader wants neither.
//
// A block found cannot overlap one found before it. While searching, at most
// kMaxOpenStarts candidate starts are kept, the most recent ones, which
// bounds the memory and the chance of a false match (about kMaxOpenStarts /
// 2^32 per candidate end); and a match counts only if the caller can decode
// the block, so that a chance match in damaged bytes costs no real block.
#pragma once

#include <cstdint>

#include "ldb_file/block_handle.hpp"
#include "util/bytes.hpp"
#include "util/crc32c.hpp"
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

// How many candidate starts the search keeps at once.
inline constexpr std::size_t kMaxOpenStarts = 16384;
// How far the chain runs from the start after the last block found before
// the search takes over: far beyond the block sizes tables are written with
// (a few KiB), so only a block of a single huge entry is longer, and the
// search finds that one too. It bounds the stretch walked a second time.
inline constexpr std::uint64_t kMaxChainBytes = std::uint64_t{1} << 20;

// What a pass cost beyond its one walk over the bytes: how many times the
// chain broke and a stretch was searched, and how many bytes the searches
// walked (each at most once, so never more than the input).
struct CarveCost {
    std::uint64_t searches = 0;
    std::uint64_t searched_bytes = 0;
};

// Calls `found` for each block whose checksum matches, in file order; a
// Snappy block too short or too long for the length its contents announce
// may be passed over, as it could not decompress. `found` answers whether
// the block is one (its contents decode): only then does the pass take it as
// a boundary, so that a chance match in damaged bytes costs no real block
// after it. The blocks accepted do not overlap. One pass over the bytes, and
// a second over the stretches searched; work linear in the bytes, memory
// fixed. The CRC is run by the process's method unless another is given;
// every method finds the same blocks. `cost`, when given, receives what the
// searches cost.
void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found, crc32c::Method how,
                  CarveCost* cost = nullptr);
inline void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found) {
    carve_blocks(table, found, crc32c::method());
}

}  // namespace tarnwick
