#include "chromium_store/seen_filter.hpp"

#include <algorithm>

namespace tarnwick::chromium {

namespace {

// A hash's upper half picks its block (scaled to the block count, which need
// not be a power of two); its lower half, multiplied by one odd constant per
// word, picks the bit of each word (the product's top six bits). Distinct
// odd multipliers spread the eight bits independently enough for a filter.
constexpr std::array<std::uint32_t, 8> word_multipliers{0x9e3779b1U, 0x85ebca77U, 0xc2b2ae3dU, 0x27d4eb2fU,
                                                       0x165667b1U, 0xd3a2646dU, 0xfd7046c5U, 0xb55a4f09U};
constexpr unsigned bit_index_shift = 32 - 6;
constexpr std::size_t block_bits = 512;
constexpr std::size_t stage_growth = 2;

std::size_t block_of(std::uint64_t hash, std::size_t blocks) noexcept {
    return static_cast<std::size_t>(((hash >> 32) * blocks) >> 32);
}

std::uint64_t bit_of(std::uint64_t hash, std::size_t word) noexcept {
    const auto low = static_cast<std::uint32_t>(hash);
    return std::uint64_t{1} << ((low * word_multipliers[word]) >> bit_index_shift);
}

}  // namespace

SeenFilter::SeenFilter(std::size_t first_capacity, unsigned bits_per_hash)
    : bits_per_hash_(std::max(1U, bits_per_hash)), first_capacity_(std::max<std::size_t>(1, first_capacity)) {}

void SeenFilter::add_stage(std::size_t capacity) {
    const std::size_t blocks = std::max<std::size_t>(1, (capacity * bits_per_hash_ + block_bits - 1) / block_bits);
    // Block indexes come from 32 bits of the hash.
    Stage stage;
    stage.blocks.resize(std::min<std::size_t>(blocks, std::size_t{1} << 32));
    stage.capacity = capacity;
    stages_.push_back(std::move(stage));
}

bool SeenFilter::add(std::uint64_t hash) {
    for (const Stage& stage : stages_) {
        const Block& block = stage.blocks[block_of(hash, stage.blocks.size())];
        bool all = true;
        for (std::size_t w = 0; w < words_per_block && all; ++w) all = (block.words[w] & bit_of(hash, w)) != 0;
        if (all) return true;
    }
    if (stages_.empty() || stages_.back().count >= stages_.back().capacity) {
        add_stage(stages_.empty() ? first_capacity_ : stages_.back().capacity * stage_growth);
    }
    Stage& stage = stages_.back();
    Block& block = stage.blocks[block_of(hash, stage.blocks.size())];
    for (std::size_t w = 0; w < words_per_block; ++w) block.words[w] |= bit_of(hash, w);
    ++stage.count;
    return false;
}

void SeenFilter::clear() noexcept { std::vector<Stage>().swap(stages_); }

std::size_t SeenFilter::bytes() const noexcept {
    std::size_t total = 0;
    for (const Stage& stage : stages_) total += stage.blocks.size() * sizeof(Block);
    return total;
}

}  // namespace tarnwick::chromium
