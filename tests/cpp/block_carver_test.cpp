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
// the same blocks, so every case below checks the hardware path too.
std::vector<CarvedBlock> carve(Bytes bytes) {
    const auto carve_with = [&](crc32c::Method how) {
        std::vector<CarvedBlock> out;
        carve_blocks(
            bytes,
            [&](const CarvedBlock& block) {
                out.push_back(block);
                return true;
            },
            how);
        return out;
    };
    const std::vector<CarvedBlock> software = carve_with(crc32c::Method::Software);
    if (crc32c::method() == crc32c::Method::Hardware) {
        EXPECT_EQ(carve_with(crc32c::Method::Hardware), software);
    }
    return software;
}

TEST(BlockCarver, FindsEveryBlockOfAnIntactTable) {
    const Table t = make_table(12);
    EXPECT_EQ(carve(t.bytes), t.blocks);
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
                                           Damage{"last_data_block", 8, 0.3, 0x08}),
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

TEST(BlockCarver, KeepsTheStartOfABlockLongerThanTheOpenStartsLimit) {
    // A raw block whose value is full of 0x01 bytes, each a candidate end.
    Table t;
    add_checked(t, test::block_of({{test::internal_key("a", 1, 1), "x"}}), BLOCK_TYPE_RAW);
    add_checked(t, test::block_of({{test::internal_key("b", 2, 1), std::string(3 * kMaxOpenStarts, '\x01')}}),
                BLOCK_TYPE_RAW);
    EXPECT_EQ(carve(t.bytes), t.blocks);
}

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
    ByteVec noise(1 << 20);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    EXPECT_TRUE(carve(noise).empty());
}

INSTANTIATE_TEST_SUITE_P(Seeds, CarverNoise, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace tarnwick
