// Block carving over arbitrary bytes: whatever the bytes, the blocks it finds
// lie in order, apart, inside the input, and each one's stored checksum is
// the CRC of its contents and type byte. Found blocks are decoded as a
// salvaging reader would, Snappy ones decompressed first.
#include <cstdint>

#include "check.hpp"
#include "ldb_file/block.hpp"
#include "ldb_file/block_carver.hpp"
#include "ldb_file/snappy.hpp"
#include "util/crc32c.hpp"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    std::uint64_t previous_end = 0;
    std::uint64_t calls = 0;
    ByteBuffer scratch;
    carve_blocks(input, [&](const CarvedBlock& block) {
        ++calls;
        FUZZ_CHECK(block.offset >= previous_end);
        FUZZ_CHECK(block.size >= 1 && block.end() <= size);
        FUZZ_CHECK(block.type == BLOCK_TYPE_RAW || block.type == BLOCK_TYPE_SNAPPY);
        FUZZ_CHECK(data[block.offset + block.size] == block.type);
        const Bytes covered = input.subspan(static_cast<std::size_t>(block.offset),
                                            static_cast<std::size_t>(block.size + 1));
        FUZZ_CHECK(crc32c::mask(crc32c::value(covered)) ==
                   read_fixed32(input, static_cast<std::size_t>(block.offset + block.size + 1)));
        Bytes contents = covered.first(static_cast<std::size_t>(block.size));
        if (block.type == BLOCK_TYPE_SNAPPY) {
            if (!decompress_snappy(contents, scratch)) return false;
            contents = scratch.bytes();
        }
        const auto decoded = Block::make(contents, block.offset, block.type == BLOCK_TYPE_SNAPPY);
        if (!decoded) return false;
        std::uint64_t entries = 0;
        decoded->for_each_entry([&](std::uint64_t, Bytes, Bytes) { ++entries; });
        FUZZ_CHECK(entries <= contents.size());
        previous_end = block.end();
        return true;
    });
    // A block is at least one byte and its trailer.
    FUZZ_CHECK(calls <= size);
    return 0;
}
