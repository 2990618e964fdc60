// Block carving over hand-made tables whose trailers carry real checksums:
// which blocks come back intact, after damage, cuts and garbage.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

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
    munmap(mapped, span);
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
