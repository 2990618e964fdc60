// Which keyed hashes were met before, in two to three bytes per hash: a blocked
// Bloom filter that answers "maybe met" for every hash it was given and, by
// chance, for a few it was not (false positives), never "not met" for one it
// was given.
//
// The number of hashes to come is not known ahead (a store's key count shows
// only once it has been read), and a Bloom filter cannot be rehashed, since
// it keeps no hashes. So the filter grows in stages: when the newest stage
// holds as many hashes as it was sized for, a stage twice its size is added,
// and a hash counts as met when any stage may hold it. Memory stays within
// twice what the hashes given need (the last stage may be nearly empty), and
// the false positives of the stages add up: with `bits_per_hash` 14 a full
// stage answers wrongly for about one new hash in 500, and the ten stages of
// ten million hashes (2.5 bytes a hash) for about one in 60.
//
// Each hash sets eight bits in one 64-byte block (one cache line), one bit in
// each of its eight words, so that a test costs one memory access per stage.
// The hashes must be uniformly random (a keyed hash): the filter uses their
// bits as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick::chromium {

class SeenFilter {
   public:
    static constexpr std::size_t default_first_capacity = std::size_t{1} << 14;
    static constexpr unsigned default_bits_per_hash = 14;

    // The first stage is sized for `first_capacity` hashes at
    // `bits_per_hash` bits each (at least one block).
    explicit SeenFilter(std::size_t first_capacity = default_first_capacity,
                        unsigned bits_per_hash = default_bits_per_hash);

    // Adds `hash`; true when it may have been added before.
    [[nodiscard]] bool add(std::uint64_t hash);

    // Frees every stage; the filter is empty afterwards.
    void clear() noexcept;

    [[nodiscard]] std::size_t stages() const noexcept { return stages_.size(); }
    [[nodiscard]] std::size_t bytes() const noexcept;

   private:
    static constexpr std::size_t words_per_block = 8;
    struct alignas(64) Block {
        std::array<std::uint64_t, words_per_block> words{};
    };
    struct Stage {
        std::vector<Block> blocks;
        std::size_t capacity = 0;
        std::size_t count = 0;
    };

    void add_stage(std::size_t capacity);

    unsigned bits_per_hash_;
    std::size_t first_capacity_;
    std::vector<Stage> stages_;
};

}  // namespace tarnwick::chromium
