// Block carving over hand-made tables whose trailers carry real checksums:
// which blocks come back intact, after damage, cuts and garbage.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "byte_builder.hpp"
#include "ldb_file/block_carver.hpp"
#include "ldb_file/ldb_file.hpp"
#include "ldb_file/snappy.hpp"
#include "util/crc32c.hpp"

namespace tarnwick {
namespace {

using test::ByteVec;

TEST(Crc32c, KnownValuesAndAlgebra) {
    EXPECT_EQ(crc32c::value(test::bytes_of("123456789")), 0xE3069283u);
    EXPECT_EQ(crc32c::value(ByteVec(32, 0)), 0x8A9136AAu);
    EXPECT_EQ(crc32c::value(ByteVec(32, 0xFF)), 0x62A8AB43u);
    for (std::uint32_t crc : {0u, 1u, 0xE3069283u, 0xFFFFFFFFu}) EXPECT_EQ(crc32c::unmask(crc32c::mask(crc)), crc);
    const ByteVec a = test::bytes_of("a table block's contents"), b = test::bytes_of("and its type byte\x01");
    ByteVec ab = a;
    test::append(ab, b);
    EXPECT_EQ(crc32c::combine(crc32c::value(a), crc32c::value(b), b.size()), crc32c::value(ab));
    EXPECT_EQ(crc32c::extend(crc32c::value(a), b), crc32c::value(ab));
    for (std::uint64_t n : {1ULL, 7ULL, 4096ULL, 123457ULL, 1ULL << 40}) {
        EXPECT_EQ(crc32c::multiply(crc32c::x_pow_8n(n), crc32c::x_pow_minus_8n(n)), crc32c::kOne) << n;
    }
}

// A table of `blocks` data blocks (every third one raw, the others Snappy),
// an index block and a footer, each block's trailer with its true checksum.
struct Table {
    ByteVec bytes;
    std::vector<CarvedBlock> blocks;  // data blocks, then the index block
};

void add_checked(Table& t, const ByteVec& contents, std::uint8_t type) {
    t.blocks.push_back({t.bytes.size(), contents.size(), type});
    test::append(t.bytes, contents);
    t.bytes.push_back(type);
    test::put_fixed32(t.bytes, crc32c::mask(crc32c::extend(crc32c::value(contents), Bytes(&type, 1))));
}

Table make_table(int blocks, int entries_per_block = 40) {
    Table t;
    std::vector<std::pair<std::string, std::string>> index;
    std::mt19937 rng(7);
    for (int b = 0; b < blocks; ++b) {
        std::vector<std::pair<std::string, std::string>> entries;
        for (int i = 0; i < entries_per_block; ++i) {
            std::string value(static_cast<std::size_t>(rng() % 60), 'v');
            for (char& c : value) c = static_cast<char>(rng() % 7 == 0 ? rng() % 256 : 'a' + rng() % 4);
            entries.emplace_back(test::internal_key("key" + std::to_string(b * 1000 + i), 100 + i, 1), value);
        }
        const ByteVec raw = test::block_of(entries);
        const std::uint8_t type = b % 3 == 0 ? BLOCK_TYPE_RAW : BLOCK_TYPE_SNAPPY;
        add_checked(t, type == BLOCK_TYPE_RAW ? raw : test::snappy_compress(raw), type);
        index.emplace_back(entries.back().first, test::text_of(test::encode_handle(t.blocks.back().handle())));
    }
    add_checked(t, test::block_of(index), BLOCK_TYPE_RAW);
    test::append(t.bytes, test::footer({0, 0}, t.blocks.back().handle()));
    return t;
}

// Carves by every way of running the CRC that this machine has: each finds
// the same blocks at the same cost, so every case below checks the hardware
// path too. Every stretch is searched at most once: the searches never walk
// more bytes than there are.
std::vector<CarvedBlock> carve(Bytes bytes, CarveCost* cost = nullptr) {
    const auto carve_with = [&](crc32c::Method how, CarveCost& spent) {
        std::vector<CarvedBlock> out;
        carve_blocks(
            bytes,
            [&](const CarvedBlock& block) {
                out.push_back(block);
                return true;
            },
            how, &spent);
        return out;
    };
    CarveCost software_cost;
    const std::vector<CarvedBlock> software = carve_with(crc32c::Method::Software, software_cost);
    EXPECT_LE(software_cost.searched_bytes, bytes.size());
    if (crc32c::method() == crc32c::Method::Hardware) {
        CarveCost hardware_cost;
        EXPECT_EQ(carve_with(crc32c::Method::Hardware, hardware_cost), software);
        EXPECT_EQ(hardware_cost.searches, software_cost.searches);
        EXPECT_EQ(hardware_cost.searched_bytes, software_cost.searched_bytes);
    }
    if (cost != nullptr) *cost = software_cost;
    return software;
}

TEST(BlockCarver, FindsEveryBlockOfAnIntactTable) {
    const Table t = make_table(12);
    CarveCost cost;
    EXPECT_EQ(carve(t.bytes, &cost), t.blocks);
    // The blocks chain; only the footer after them is searched.
    EXPECT_EQ(cost.searches, 1u);
    EXPECT_LE(cost.searched_bytes, FOOTER_SIZE + 8);
}

// Cut at many points: every block whose trailer lies wholly before the cut.
class CarverCut : public ::testing::TestWithParam<int> {};

TEST_P(CarverCut, KeepsTheBlocksBeforeTheCut) {
    const Table t = make_table(8);
    const std::size_t cut = t.bytes.size() * static_cast<std::size_t>(GetParam()) / 100;
    std::vector<CarvedBlock> expected;
    for (const CarvedBlock& b : t.blocks) {
        if (b.end() <= cut) expected.push_back(b);
    }
    EXPECT_EQ(carve(Bytes(t.bytes).first(cut)), expected);
}

INSTANTIATE_TEST_SUITE_P(Points, CarverCut, ::testing::Values(0, 1, 9, 13, 25, 33, 50, 61, 70, 87, 99, 100));

// Damage inside a block costs that block only: the pass finds its way back to
// the blocks after it. `where` is a fraction of the block's contents.
struct Damage {
    const char* name;
    int block;
    double where;
    std::uint8_t byte;
    int also_lost = 0;  // blocks after it that are lost too
};

class CarverDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(CarverDamage, CostsOnlyTheDamagedBlock) {
    Table t = make_table(9);
    const Damage& d = GetParam();
    const CarvedBlock hit = t.blocks[static_cast<std::size_t>(d.block)];
    const std::size_t at = hit.offset + static_cast<std::size_t>(static_cast<double>(hit.size) * d.where);
    t.bytes[at] ^= d.byte;
    std::vector<CarvedBlock> expected = t.blocks;
    expected.erase(expected.begin() + d.block, expected.begin() + d.block + 1 + d.also_lost);
    EXPECT_EQ(carve(t.bytes), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CarverDamage,
                         ::testing::Values(Damage{"first_raw_start", 0, 0.0, 0x40},
                                           Damage{"first_raw_middle", 0, 0.5, 0x01},
                                           Damage{"snappy_middle", 1, 0.5, 0xFF},
                                           Damage{"snappy_last_byte", 4, 0.999, 0x10},
                                           // A raw block's end is only a candidate where its restart
                                           // count is sound, so the block after it has no start.
                                           Damage{"raw_restart_count", 3, 0.999, 0x80, 1},
                                           Damage{"last_data_block", 8, 0.3, 0x08},
                                           // Right after a Snappy block: the chain breaks at a
                                           // start whose announced length is off too.
                                           Damage{"snappy_after_snappy_first_byte", 2, 0.0, 0x40},
                                           Damage{"snappy_after_snappy_length", 5, 0.0, 0x7F},
                                           Damage{"raw_after_snappy_first_byte", 3, 0.0, 0x01},
                                           Damage{"raw_after_snappy_type_byte", 6, 1.0, 0x02, 1}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(BlockCarver, FindsTheBlocksOfATableThatLostItsBeginning) {
    const Table t = make_table(10);
    // A file carved from the middle of the second block onwards.
    const std::size_t from = t.blocks[1].offset + t.blocks[1].size / 2;
    std::vector<CarvedBlock> expected;
    for (const CarvedBlock& b : t.blocks) {
        if (b.offset >= from) expected.push_back({b.offset - from, b.size, b.type});
    }
    EXPECT_EQ(carve(Bytes(t.bytes).subspan(from)), expected);
}

// A block longer than the chain runs: the search takes over inside it and
// still finds it from its start, then the chain goes on after it. Its value
// is full of candidate ends: 0x01 bytes, or random bytes.
struct LongBlock {
    const char* name;
    std::uint8_t type;
    std::size_t value_bytes;
    bool random;
};

class CarverLongBlock : public ::testing::TestWithParam<LongBlock> {};

TEST_P(CarverLongBlock, IsFoundFromItsStart) {
    const LongBlock& shape = GetParam();
    std::string value(shape.value_bytes, '\x01');
    std::mt19937 rng(11);
    if (shape.random) {
        for (char& c : value) c = static_cast<char>(rng());
    }
    Table t;
    add_checked(t, test::block_of({{test::internal_key("a", 1, 1), "x"}}), BLOCK_TYPE_RAW);
    const ByteVec long_block = test::block_of({{test::internal_key("b", 2, 1), value}});
    add_checked(t, shape.type == BLOCK_TYPE_RAW ? long_block : test::snappy_compress(long_block), shape.type);
    add_checked(t, test::snappy_compress(test::block_of({{test::internal_key("c", 3, 1), "after"}})),
                BLOCK_TYPE_SNAPPY);
    CarveCost cost;
    EXPECT_EQ(carve(t.bytes, &cost), t.blocks);
    EXPECT_EQ(cost.searches, t.blocks[1].size > kMaxChainBytes ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CarverLongBlock,
                         ::testing::Values(LongBlock{"raw_ones_below_the_chain", BLOCK_TYPE_RAW, 3 * kMaxOpenStarts, false},
                                           LongBlock{"raw_ones", BLOCK_TYPE_RAW, kMaxChainBytes + 4000, false},
                                           LongBlock{"raw_random", BLOCK_TYPE_RAW, kMaxChainBytes + 4000, true},
                                           LongBlock{"snappy_random", BLOCK_TYPE_SNAPPY, kMaxChainBytes + 4000, true}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

// Damage twice, further apart than the chain runs: each time the chain
// breaks, the stretch since the last block is searched once, and the chain
// goes on after the first block the search finds beyond it. Every other block
// is found; the searches walk a little over the chain's reach each.
TEST(BlockCarver, FindsItsWayBackAfterEachOfTwoDamages) {
    Table t = make_table(2400, 30);
    const std::size_t first = 10;
    std::size_t second = first;
    while (t.blocks[second].offset < t.blocks[first].offset + kMaxChainBytes + 65536) ++second;
    // The chain runs its full reach after each damage.
    ASSERT_GT(t.bytes.size(), t.blocks[second].offset + kMaxChainBytes + 65536);
    for (std::size_t hit : {first, second}) t.bytes[t.blocks[hit].offset + t.blocks[hit].size / 2] ^= 0x20;
    std::vector<CarvedBlock> expected = t.blocks;
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(second));
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(first));
    CarveCost cost;
    EXPECT_EQ(carve(t.bytes, &cost), expected);
    // Twice after damage, once over the footer.
    EXPECT_EQ(cost.searches, 3u);
    EXPECT_LT(cost.searched_bytes, 2 * (kMaxChainBytes + 65536));
}

// Snappy streams the decoder takes, at both ends of the ratio of their size
// to the length they announce, so that no block of them is passed over while
// the blocks chain: the densest (one literal byte, then 3-byte copies of 64
// bytes each), the sparsest (one-byte literals whose length takes its
// longest form, 6 bytes a byte), and what the compressor makes.
enum class Density : std::uint8_t { Densest, Sparsest, Compressor };

ByteVec snappy_stream(std::size_t length, Density density) {
    if (density == Density::Compressor) {
        ByteVec raw(length);
        for (std::size_t i = 0; i < length; ++i) raw[i] = static_cast<std::uint8_t>("snappy"[i % 6] + i / 997);
        return test::snappy_compress(raw);
    }
    ByteVec out = test::varint(length);
    if (density == Density::Sparsest) {
        for (std::size_t i = 0; i < length; ++i) test::append(out, ByteVec{0xFC, 0, 0, 0, 0, 'a'});
        return out;
    }
    if (length == 0) return out;
    test::append(out, ByteVec{0x00, 'a'});
    for (std::size_t made = 1; made < length; made += 64) {
        const auto n = static_cast<std::uint8_t>(std::min<std::size_t>(64, length - made));
        test::append(out, ByteVec{static_cast<std::uint8_t>((n - 1) << 2 | 2), 1, 0});
    }
    return out;
}

struct SnappyShape {
    std::size_t length;
    Density density;
};

void PrintTo(const SnappyShape& shape, std::ostream* out) {
    *out << shape.length << (shape.density == Density::Densest    ? "_densest"
                             : shape.density == Density::Sparsest ? "_sparsest"
                                                                  : "_compressor");
}

class CarverSnappyBounds : public ::testing::TestWithParam<SnappyShape> {};

TEST_P(CarverSnappyBounds, ChainsThroughEverySnappyBlockTheDecoderTakes) {
    const SnappyShape& shape = GetParam();
    const ByteVec stream = snappy_stream(shape.length, shape.density);
    const auto decoded = decompress_snappy(stream);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), shape.length);
    Table t;
    add_checked(t, test::block_of({{test::internal_key("a", 1, 1), "x"}}), BLOCK_TYPE_RAW);
    add_checked(t, stream, BLOCK_TYPE_SNAPPY);
    add_checked(t, stream, BLOCK_TYPE_SNAPPY);
    add_checked(t, test::block_of({{test::internal_key("b", 2, 1), "y"}}), BLOCK_TYPE_RAW);
    CarveCost cost;
    EXPECT_EQ(carve(t.bytes, &cost), t.blocks);
    EXPECT_EQ(cost.searches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CarverSnappyBounds, ::testing::ValuesIn([] {
                             std::vector<SnappyShape> shapes;
                             for (std::size_t length : {0, 1, 2, 64, 65, 66, 129, 4096, 70001}) {
                                 for (Density d : {Density::Densest, Density::Sparsest, Density::Compressor}) {
                                     shapes.push_back({length, d});
                                 }
                             }
                             return shapes;
                         }()));

// A raw block whose value holds Snappy trailers with true checksums of the
// bytes from the block's start: a Snappy block of nothing is what its first
// byte (the first entry's shared length, 0) announces, so none of them ends
// a block while the blocks chain, and the raw block is found whole.
class CarverFakeSnappyTrailer : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CarverFakeSnappyTrailer, IsPassedOverInARawBlock) {
    const std::size_t fakes = GetParam();
    std::string value(400, 'v');
    ByteVec contents = test::block_of({{test::internal_key("k", 4, 1), value}});
    const std::size_t value_at = contents.size() - 4 - 4 - value.size();  // before one restart and the count
    for (std::size_t f = 0; f < fakes; ++f) {
        const std::size_t at = value_at + 20 + f * 60;
        contents[at] = BLOCK_TYPE_SNAPPY;
        const std::uint32_t crc = crc32c::value(Bytes(contents).first(at + 1));
        for (int i = 0; i < 4; ++i) contents[at + 1 + i] = static_cast<std::uint8_t>(crc32c::mask(crc) >> (8 * i));
    }
    Table t;
    add_checked(t, contents, BLOCK_TYPE_RAW);
    add_checked(t, test::block_of({{test::internal_key("l", 5, 1), "after"}}), BLOCK_TYPE_RAW);
    CarveCost cost;
    EXPECT_EQ(carve(t.bytes, &cost), t.blocks);
    EXPECT_EQ(cost.searches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Fakes, CarverFakeSnappyTrailer, ::testing::Values(1u, 2u, 6u));

// The pass reads whole words ahead of the byte it looks at; none may reach
// past the input. Each cut of the table's last stretch is copied to end right
// before a page that cannot be read, so a read past its end faults.
TEST(BlockCarver, ReadsNothingPastTheEndOfTheInput) {
    const Table t = make_table(3, 4);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t span = (t.bytes.size() / page + 2) * page;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* base = static_cast<std::uint8_t*>(mapped);
    std::uint8_t* guard = base + span - page;
    ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
    for (std::size_t cut = t.bytes.size() - std::min<std::size_t>(t.bytes.size(), 64); cut <= t.bytes.size(); ++cut) {
        std::memcpy(guard - cut, t.bytes.data(), cut);
        std::vector<CarvedBlock> expected;
        for (const CarvedBlock& b : t.blocks) {
            if (b.end() <= cut) expected.push_back(b);
        }
        EXPECT_EQ(carve(Bytes(guard - cut, cut)), expected) << cut;
    }
    // Bytes without a type byte run through whole words up to the end.
    for (std::size_t length = 0; length <= 64; ++length) {
        std::memset(guard - length, 0x5A, length);
        EXPECT_TRUE(carve(Bytes(guard - length, length)).empty()) << length;
    }
    munmap(mapped, span);
}

// A raw block's end is a candidate only where its restart array could end
// (a count n >= 1, n slots, the first 0), so raw blocks of every restart
// layout must still be found: one entry, one restart for many entries, a
// restart at every entry, counts of several bytes, zero runs in the values.
struct Shape {
    const char* name;
    int entries;              // per block
    int restart_interval;     // entries per restart point
    std::size_t value_bytes;  // the longest value; values are 0 to this long
    std::uint8_t value_byte;
};

// A raw block as the engine builds it: a restart point every `interval`
// entries, whose key is stored whole; the keys between share their prefix.
ByteVec block_with_restarts(const std::vector<std::pair<std::string, std::string>>& entries, int interval) {
    ByteVec out;
    std::vector<std::uint32_t> restarts;
    std::string previous;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [key, value] = entries[i];
        std::size_t shared = 0;
        if (i % static_cast<std::size_t>(interval) == 0) {
            restarts.push_back(static_cast<std::uint32_t>(out.size()));
        } else {
            while (shared < previous.size() && shared < key.size() && previous[shared] == key[shared]) ++shared;
        }
        test::put_block_entry(out, shared, std::string_view(key).substr(shared), value);
        previous = key;
    }
    test::put_restarts(out, restarts);
    return out;
}

// Seven raw blocks of the shape, their values of varied lengths so that the
// blocks end at every offset within a word.
Table table_of_shape(const Shape& shape) {
    Table t;
    for (int b = 0; b < 7; ++b) {
        std::vector<std::pair<std::string, std::string>> entries;
        for (int i = 0; i < shape.entries; ++i) {
            const std::size_t length = (static_cast<std::size_t>(b * 3 + i) * 7) % (shape.value_bytes + 1);
            entries.emplace_back(test::internal_key("k" + std::to_string(b * 100000 + i), 5, 1),
                                 std::string(length, static_cast<char>(shape.value_byte)));
        }
        add_checked(t, block_with_restarts(entries, shape.restart_interval), BLOCK_TYPE_RAW);
    }
    return t;
}

void PrintTo(const Shape& shape, std::ostream* out) { *out << shape.name; }

class CarverShape : public ::testing::TestWithParam<Shape> {};

TEST_P(CarverShape, FindsEveryRawBlockWhateverItsRestarts) {
    const Table t = table_of_shape(GetParam());
    EXPECT_EQ(carve(t.bytes), t.blocks);
    // Cut at every byte around each block's end: the candidate ends the pass
    // may look at stop just before the end of the bytes.
    for (const CarvedBlock& block : t.blocks) {
        for (std::size_t cut = block.end() - 12; cut <= std::min(block.end() + 12, t.bytes.size()); ++cut) {
            std::vector<CarvedBlock> expected;
            for (const CarvedBlock& b : t.blocks) {
                if (b.end() <= cut) expected.push_back(b);
            }
            EXPECT_EQ(carve(Bytes(t.bytes).first(cut)), expected) << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CarverShape,
    ::testing::Values(Shape{"one_entry_tiny", 1, 1, 3, 'v'}, Shape{"one_entry_empty_value", 1, 16, 0, 'v'},
                      Shape{"one_restart_many_entries", 60, 1000, 20, 'v'},
                      Shape{"restart_every_entry", 60, 1, 20, 'v'},
                      // 300 restarts: the count's second byte is set.
                      Shape{"restart_count_over_255", 300, 1, 4, 'v'},
                      Shape{"zero_values", 40, 16, 40, 0}, Shape{"one_values", 40, 3, 40, 1}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// A raw block with a restart at each of more than 65536 entries, so that its
// restart count's third byte is set, short enough for the chain to find it.
TEST(BlockCarver, ChainsThroughARawBlockWithARestartCountOfThreeBytes) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (std::uint64_t i = 0; i < 66000; ++i) entries.emplace_back(test::internal_key("", i + 1, 1), "");
    Table t;
    add_checked(t, block_with_restarts(entries, 1), BLOCK_TYPE_RAW);
    add_checked(t, test::block_of({{test::internal_key("after", 1, 1), "x"}}), BLOCK_TYPE_RAW);
    ASSERT_LT(t.blocks[0].size, kMaxChainBytes);
    ASSERT_EQ(read_fixed32(t.bytes, t.blocks[0].size - RESTART_COUNT_SIZE) >> 16, 1u);
    CarveCost cost;
    EXPECT_EQ(carve(t.bytes, &cost), t.blocks);
    EXPECT_EQ(cost.searches, 0u);
}

// Values that hold another table's bytes: trailers with true checksums of
// their own blocks, restart arrays and zero runs inside each block. Only the
// blocks themselves are found.
TEST(BlockCarver, FindsOnlyTheBlocksWhoseValuesHoldAnotherTable) {
    const Table inner = make_table(6, 10);
    Table t;
    for (std::size_t from = 0, b = 0; from < inner.bytes.size(); ++b) {
        const std::size_t length = std::min<std::size_t>(inner.bytes.size() - from, 500 + b * 130);
        const std::string value(reinterpret_cast<const char*>(inner.bytes.data() + from), length);
        const ByteVec raw = test::block_of({{test::internal_key("outer" + std::to_string(b), 9, 1), value},
                                            {test::internal_key("outer" + std::to_string(b) + "z", 9, 1), value}});
        add_checked(t, b % 2 == 0 ? raw : test::snappy_compress(raw), b % 2 == 0 ? BLOCK_TYPE_RAW : BLOCK_TYPE_SNAPPY);
        from += length;
    }
    ASSERT_GE(t.blocks.size(), 3u);
    EXPECT_EQ(carve(t.bytes), t.blocks);
}

class CarverNoise : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(CarverNoise, FindsNothingInRandomBytes) {
    std::mt19937 rng(GetParam());
    ByteVec noise(3 << 20);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    CarveCost cost;
    EXPECT_TRUE(carve(noise, &cost).empty());
    // One search, from where the chain broke to the end.
    EXPECT_EQ(cost.searches, 1u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CarverNoise, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace tarnwick
