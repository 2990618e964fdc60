#include "ldb_file/block.hpp"

#include <utility>

namespace tarnwick {

std::expected<Block, std::string> Block::make(Bytes contents, std::uint64_t offset, bool compressed) {
    if (contents.size() < 4) {
        return std::unexpected("block of " + std::to_string(contents.size()) +
                               " bytes is too short to hold its restart count");
    }
    const std::uint32_t num_restarts = read_fixed32(contents, contents.size() - 4);
    if (static_cast<std::uint64_t>(num_restarts) > (contents.size() - 4) / 4) {
        return std::unexpected("restart array of " + std::to_string(num_restarts) +
                               " entries does not fit in a block of " + std::to_string(contents.size()) +
                               " bytes");
    }
    return Block(contents, offset, num_restarts, compressed);
}

std::expected<Block, std::string> Block::make(ByteBuffer contents, std::uint64_t offset, bool compressed) {
    auto block = make(contents.bytes(), offset, compressed);
    if (block) block->owned_ = std::move(contents);  // the heap bytes do not move
    return block;
}

std::vector<BlockEntry> decode_entries(const Block& block) {
    std::vector<BlockEntry> entries;
    block.for_each_entry([&](std::uint64_t offset, Bytes key, Bytes value) {
        entries.push_back({{key.begin(), key.end()}, {value.begin(), value.end()}, offset});
    });
    return entries;
}

}  // namespace tarnwick
