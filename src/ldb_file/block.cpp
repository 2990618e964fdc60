#include "ldb_file/block.hpp"

#include <utility>

namespace tarnwick {

std::string BlockError::message() const {
    if (const auto* short_block = std::get_if<TooShort>(&kind)) {
        return "block of " + std::to_string(short_block->block_size) + " bytes is too short to hold its restart count";
    }
    const auto& restarts = std::get<RestartsDoNotFit>(kind);
    return "restart array of " + std::to_string(restarts.num_restarts) + " entries does not fit in a block of " +
           std::to_string(restarts.block_size) + " bytes";
}

std::expected<Block, BlockError> Block::make(Bytes contents, std::uint64_t offset, bool compressed) {
    if (contents.size() < RESTART_COUNT_SIZE) {
        return std::unexpected(BlockError{BlockError::TooShort{contents.size()}});
    }
    const std::uint32_t num_restarts = read_fixed32(contents, contents.size() - RESTART_COUNT_SIZE);
    if (static_cast<std::uint64_t>(num_restarts) > (contents.size() - RESTART_COUNT_SIZE) / RESTART_SIZE) {
        return std::unexpected(BlockError{BlockError::RestartsDoNotFit{num_restarts, contents.size()}});
    }
    return Block(contents, offset, num_restarts, compressed);
}

std::expected<Block, BlockError> Block::make(ByteBuffer contents, std::uint64_t offset, bool compressed) {
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
