// What a manifest keeps of its edits: each table file any edit added, with the
// level of its last addition, in a form whose size and cost cannot be steered
// by the manifest's content.
//
// A manifest is content like any other: it may hold millions of additions, and
// their file numbers may be chosen to collide in a hash table. So additions are
// appended in edit order to one flat array, and sorted and reduced to one per
// number once, at the end: time n log n whatever the numbers, and memory a
// small multiple of the manifest's size.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace tarnwick {

// One table file and its level, in 12 bytes (three 32-bit words, so no padding):
// the smallest addition the format allows takes 6 bytes of a manifest, and
// what is held of it must stay within twice that.
class FileLevel {
   public:
    // Levels are read as 32-bit varints, whose over-long forms reach 2^35 - 1;
    // the engine's levels are 0 to 6, so a level above 2^32 - 1 can only be
    // damage, and is held as 2^32 - 1.
    static constexpr std::uint64_t kHighestLevel = std::numeric_limits<std::uint32_t>::max();

    constexpr FileLevel(std::uint64_t number, std::uint64_t level) noexcept
        : number_high_(static_cast<std::uint32_t>(number >> 32)),
          number_low_(static_cast<std::uint32_t>(number)),
          level_(static_cast<std::uint32_t>(level < kHighestLevel ? level : kHighestLevel)) {}

    constexpr std::uint64_t number() const noexcept {
        return (static_cast<std::uint64_t>(number_high_) << 32) | number_low_;
    }
    constexpr std::uint64_t level() const noexcept { return level_; }

    friend constexpr bool operator==(const FileLevel&, const FileLevel&) = default;

   private:
    std::uint32_t number_high_;
    std::uint32_t number_low_;
    std::uint32_t level_;
};

// Gathers the additions of one manifest.
class FileLevelGatherer {
   public:
    // `manifest_size` bounds how many additions can come: the space for them is
    // reserved at once, so that the array never has to be copied while it grows
    // (a copy would hold it twice). Reserved space that is never written takes
    // address space only, no memory.
    explicit FileLevelGatherer(std::uint64_t manifest_size) noexcept;

    // When memory runs out, this and every later addition are dropped: the
    // manifest is then known only in part, and opening it still succeeds.
    void add(std::uint64_t number, std::uint64_t level) noexcept;

    // The additions sorted by number, one per number: the last one added.
    [[nodiscard]] std::vector<FileLevel> finish() && noexcept;

   private:
    std::uint64_t manifest_size_;
    std::vector<FileLevel> added_;
    bool out_of_memory_ = false;
};

}  // namespace tarnwick
