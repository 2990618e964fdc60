// The table block decoder over arbitrary bytes. The first byte chooses how the
// rest is taken: even, as the contents of a stored block; odd, as a
// Snappy-compressed block that is decompressed first, as the table reader does.
#include <snappy.h>

#include <cstdint>

#include "check.hpp"
#include "ldb_file/block.hpp"
#include "ldb_file/snappy.hpp"

using namespace tarnwick;

namespace {

void decode(Bytes contents) {
    const auto block = Block::make(contents, 0, false);
    if (!block) {
        // Refused only when the restart count cannot fit.
        FUZZ_CHECK(contents.size() < 4 ||
                   read_fixed32(contents, contents.size() - 4) > (contents.size() - 4) / 4);
        return;
    }
    FUZZ_CHECK(block->restart_offset() + 4 + 4 * std::uint64_t{block->num_restarts()} == contents.size());
    std::uint64_t entries = 0;
    std::uint64_t last_offset = 0;
    block->for_each_entry([&](std::uint64_t offset, Bytes key, Bytes value) {
        // Entries come in stored order, each at least three bytes long and
        // starting before the restart array; the running key is built from
        // key bytes of the block, so it is never longer than the block.
        FUZZ_CHECK(entries == 0 || offset >= last_offset + 3);
        FUZZ_CHECK(offset < block->restart_offset());
        FUZZ_CHECK(key.size() <= contents.size());
        FUZZ_CHECK(value.data() >= contents.data() && value.data() + value.size() <= contents.data() + contents.size());
        last_offset = offset;
        ++entries;
    });
    FUZZ_CHECK(entries <= contents.size() / 3);
    FUZZ_CHECK(decode_entries(*block).size() == entries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Bytes rest(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        decode(rest);
        return 0;
    }
    ByteBuffer out;
    const auto done = decompress_snappy(rest, out);
    // The guard against huge length claims must never turn away data that
    // the Snappy library itself accepts.
    const bool valid = snappy::IsValidCompressedBuffer(reinterpret_cast<const char*>(rest.data()), rest.size());
    FUZZ_CHECK(done.has_value() == valid);
    if (!done) return 0;
    FUZZ_CHECK(out.size() <= snappy_max_expansion(rest.size()));
    decode(out.bytes());
    return 0;
}
