// The filter of hashes met before and the table of hashed slots: nothing
// added is ever reported new or lost as they grow, and the filter's false
// positives stay near what its comment promises.
#include "chromium_store/seen_filter.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "chromium_store/hashed_slots.hpp"

namespace tarnwick::chromium {
namespace {

// Uniformly spread 64-bit values, the same on every run (splitmix64), as
// keyed hashes are.
std::vector<std::uint64_t> hashes(std::size_t n, std::uint64_t seed) {
    std::vector<std::uint64_t> out;
    out.reserve(n);
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        out.push_back(z ^ (z >> 31));
    }
    return out;
}

struct FilterCase {
    std::size_t first_capacity;
    unsigned bits_per_hash;
    std::size_t hashes;
    std::size_t stages;
    // Of as many fresh hashes again, the most that may look met before, in
    // thousandths.
    unsigned max_false_per_mille;
};

class SeenFilterGrowth : public ::testing::TestWithParam<FilterCase> {};

TEST_P(SeenFilterGrowth, RemembersEveryHashAndErrsRarely) {
    const FilterCase& c = GetParam();
    SeenFilter filter(c.first_capacity, c.bits_per_hash);
    const auto added = hashes(c.hashes, 1);
    std::size_t met_before = 0;
    for (const std::uint64_t h : added) met_before += filter.add(h) ? 1 : 0;
    EXPECT_EQ(filter.stages(), c.stages);
    // A stage holds its capacity at bits_per_hash bits each, in whole blocks.
    EXPECT_GE(filter.bytes() * 8, c.first_capacity * ((std::size_t{1} << c.stages) - 1) * c.bits_per_hash);
    for (const std::uint64_t h : added) ASSERT_TRUE(filter.add(h)) << h;
    std::size_t fresh_met = 0;
    for (const std::uint64_t h : hashes(c.hashes, 2)) fresh_met += filter.add(h) ? 1 : 0;
    EXPECT_LE(fresh_met * 1000, c.hashes * c.max_false_per_mille) << fresh_met;
    EXPECT_LE(met_before * 1000, c.hashes * c.max_false_per_mille) << met_before;
    filter.clear();
    EXPECT_EQ(filter.bytes(), 0U);
    EXPECT_FALSE(filter.add(added.front()));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SeenFilterGrowth,
    ::testing::Values(
        // One stage, not full.
        FilterCase{SeenFilter::default_first_capacity, SeenFilter::default_bits_per_hash, 1000, 1, 2},
        // Full stages added one after another: 2^14 (2^s - 1) >= n.
        FilterCase{SeenFilter::default_first_capacity, SeenFilter::default_bits_per_hash, 200'000, 4, 15},
        FilterCase{SeenFilter::default_first_capacity, SeenFilter::default_bits_per_hash, 2'000'000, 7, 20},
        // Tiny stages: many of them, and their errors add up, but nothing is lost.
        FilterCase{1, 14, 100'000, 17, 60}, FilterCase{64, 4, 100'000, 8, 1000}));

// A filter of one block that many hashes filled answers "met" for nearly
// every hash: what the label tests use to take every key's first record.
TEST(SeenFilter, OneFullBlockLooksToHoldEverything) {
    SeenFilter filter(512, 1);
    for (const std::uint64_t h : hashes(500, 3)) (void)filter.add(h);
    EXPECT_EQ(filter.stages(), 1U);
    std::size_t met = 0;
    for (const std::uint64_t h : hashes(1000, 4)) met += filter.add(h) ? 1 : 0;
    EXPECT_GE(met, 990U);
}

// The slots keep every value through their growth; hash 0 is kept as 1.
TEST(HashedSlots, KeepEveryValueThroughGrowth) {
    for (const std::size_t n : {1U, 17U, 1000U, 100'000U}) {
        HashedSlots<std::uint64_t> slots;
        const auto keys = hashes(n, 5);
        for (std::size_t i = 0; i < n; ++i) {
            auto [value, added] = slots.insert(keys[i]);
            ASSERT_TRUE(added);
            value = i;
        }
        EXPECT_EQ(slots.size(), n);
        // Four fifths full at most.
        EXPECT_GE(slots.bytes() * 4, n * 5 * sizeof(HashedSlots<std::uint64_t>::Slot));
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_NE(slots.find(keys[i]), nullptr) << i;
            ASSERT_EQ(*slots.find(keys[i]), i);
            ASSERT_FALSE(slots.insert(keys[i]).second);
        }
        for (const std::uint64_t h : hashes(1000, 6)) EXPECT_EQ(slots.find(h), nullptr);
    }
    HashedSlots<int> slots;
    EXPECT_EQ(slots.find(0), nullptr);
    slots.insert(0).first = 7;
    EXPECT_EQ(*slots.find(1), 7);
}

}  // namespace
}  // namespace tarnwick::chromium
