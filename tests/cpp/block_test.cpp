#include "ldb_file/block.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using namespace test;

// (offset, key, value) of each entry.
using Entries = std::vector<std::tuple<std::uint64_t, std::string, std::string>>;

Entries decode(const ByteVec& contents) {
    const auto block = Block::make(Bytes(contents), 0, false);
    EXPECT_TRUE(block) << (block ? "" : block.error().message());
    if (!block) return {};
    Entries out;
    for (const BlockEntry& e : decode_entries(*block)) out.emplace_back(e.offset, text_of(e.key), text_of(e.value));
    return out;
}

TEST(BlockMake, ReadsTheRestartCount) {
    ByteVec contents = block_of({{"a", "1"}});
    const auto block = Block::make(Bytes(contents), 4242, true);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->num_restarts(), 1u);
    EXPECT_EQ(block->restart_offset(), contents.size() - 8);
    EXPECT_EQ(block->offset(), 4242u);
    EXPECT_TRUE(block->compressed());
}

TEST(BlockMake, RefusesContentsWithNoRoomForTheRestartArray) {
    for (std::size_t size = 0; size < 4; ++size) {
        EXPECT_FALSE(Block::make(Bytes(ByteVec(size, 0)), 0, false)) << size;
    }
    // 12 bytes: room for the count and two slots, not three.
    for (std::uint32_t count : {0u, 1u, 2u}) {
        ByteVec contents(8, 0);
        put_fixed32(contents, count);
        EXPECT_TRUE(Block::make(Bytes(contents), 0, false)) << count;
    }
    for (std::uint32_t count : {3u, 0x40000000u, 0x3FFFFFFFu + 1, 0xFFFFFFFFu}) {
        ByteVec contents(8, 0);
        put_fixed32(contents, count);
        EXPECT_FALSE(Block::make(Bytes(contents), 0, false)) << count;
    }
}

TEST(BlockMake, OwningFormKeepsItsBytes) {
    const ByteVec contents = block_of({{"key", "value"}});
    ByteBuffer buffer;
    buffer.assign(contents);
    auto block = Block::make(std::move(buffer), 0, false);
    ASSERT_TRUE(block);
    const Block moved = std::move(*block);
    ASSERT_EQ(decode_entries(moved).size(), 1u);
    EXPECT_EQ(text_of(decode_entries(moved)[0].value), "value");
}

struct BlockCase {
    std::string name;
    ByteVec contents;
    Entries expected;
};
void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

class BlockEntries : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockEntries, Decode) { EXPECT_EQ(decode(GetParam().contents), GetParam().expected); }

ByteVec raw(std::initializer_list<std::uint8_t> bytes) { return ByteVec(bytes); }

ByteVec entries_then(std::initializer_list<std::tuple<std::uint64_t, std::string, std::string>> entries,
                     const std::vector<std::uint32_t>& restarts, ByteVec prefix = {}) {
    ByteVec out = std::move(prefix);
    for (const auto& [shared, delta, value] : entries) put_block_entry(out, shared, delta, value);
    put_restarts(out, restarts);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BlockEntries,
    ::testing::Values(
        BlockCase{"OnlyARestartArray", raw({0, 0, 0, 0, 1, 0, 0, 0}), {}},
        BlockCase{"PrefixCompressedKeys", entries_then({{0, "abc", "1"}, {2, "d", "22"}}, {0}),
                  {{0, "abc", "1"}, {7, "abd", "22"}}},
        // Restart points do not reset the running key; any entry may share.
        BlockCase{"SharedAcrossARestartPoint", entries_then({{0, "abc", ""}, {3, "d", ""}, {1, "x", ""}}, {0, 6}),
                  {{0, "abc", ""}, {6, "abcd", ""}, {10, "ax", ""}}},
        // No restart slots: the first-slot read sees the count (0) itself.
        BlockCase{"NoRestarts", entries_then({{0, "k", "v"}}, {}), {{0, "k", "v"}}},
        BlockCase{"FirstEntrySharesABytes", entries_then({{1, "bc", "v"}}, {0}), {}},
        BlockCase{"SharedLongerThanPreviousKey", entries_then({{0, "ab", "1"}, {3, "c", "2"}, {0, "z", "3"}}, {0}),
                  {{0, "ab", "1"}}},
        BlockCase{"StartsAtTheFirstSlot", entries_then({{0, "k", "v"}}, {5}, raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
                  {{5, "k", "v"}}},
        BlockCase{"FirstSlotAtTheRestartArray", entries_then({{0, "k", "v"}}, {5}), {}},
        BlockCase{"FirstSlotBeyondTheRestartArray", entries_then({{0, "k", "v"}}, {0x7FFFFFFF}), {}},
        BlockCase{"FirstSlotTopBitSet", entries_then({{0, "k", "v"}}, {0x80000000}), {}},
        BlockCase{"FirstSlotAllOnes", entries_then({{0, "k", "v"}}, {0xFFFFFFFF}), {}},
        // Each length is bounded by the whole contents, the restart array included.
        BlockCase{"ValuePastTheEnd", [] {
                      ByteVec b = entries_then({{0, "a", "1"}}, {});
                      b.resize(b.size() - 4);
                      append(b, {0, 1, 40, 'b', 'v'});
                      put_restarts(b, {0});
                      return b;
                  }(),
                  {{0, "a", "1"}}},
        BlockCase{"KeyPastTheEnd", [] {
                      ByteVec b = entries_then({{0, "a", "1"}}, {});
                      b.resize(b.size() - 4);
                      append(b, {0, 40, 1, 'b', 'v'});
                      put_restarts(b, {0});
                      return b;
                  }(),
                  {{0, "a", "1"}}},
        BlockCase{"HugeNonShared", [] {
                      ByteVec b;
                      put_block_entry(b, 0, "a", "1");
                      append(b, {0, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0});
                      put_restarts(b, {0});
                      return b;
                  }(),
                  {{0, "a", "1"}}},
        // The second entry's value runs over the restart array to the end of
        // the contents: it is still emitted, and nothing after it is read.
        BlockCase{"ValueReachingIntoTheRestartArray", [] {
                      ByteVec b;
                      put_block_entry(b, 0, "a", "1");  // 5 bytes
                      append(b, {0, 1, 9, 'b'});         // value: 1 byte here, then the 8-byte array
                      append(b, {'v'});
                      put_restarts(b, {0});
                      return b;
                  }(),
                  {{0, "a", "1"}, {5, "b", std::string("v\0\0\0\0\1\0\0\0", 9)}}},
        BlockCase{"EntryEndingInsideTheRestartArrayIsTheLast", [] {
                      ByteVec b;
                      put_block_entry(b, 0, "a", "1");
                      append(b, {0, 1, 2, 'b', 'v'});  // value ends one byte into the array
                      // The array's slots are 0x00000000 and 0x00010000; the
                      // bytes after the entry would decode as further entries.
                      put_fixed32(b, 0);
                      put_fixed32(b, 0x00010000);
                      put_fixed32(b, 2);
                      return b;
                  }(),
                  {{0, "a", "1"}, {5, "b", std::string("v\0", 2)}}}),
    [](const auto& case_info) { return case_info.param.name; });

}  // namespace
}  // namespace tarnwick
