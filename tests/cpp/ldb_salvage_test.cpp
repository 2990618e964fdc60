// LdbFile's salvage: blocks an index does not list, and tables without a
// usable end, read from hand-made files whose trailers carry real checksums.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_builder.hpp"
#include "ldb_file/ldb_file.hpp"
#include "util/crc32c.hpp"

namespace tarnwick {
namespace {

using namespace test;

struct Seen final : PassObserver {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> carved;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> skipped;
    void block_carved(std::uint64_t offset, std::uint64_t size) override { carved.emplace_back(offset, size); }
    void bytes_skipped(std::uint64_t begin, std::uint64_t end, std::string_view) override {
        skipped.emplace_back(begin, end);
    }
};

std::uint32_t checksum(const ByteVec& contents, std::uint8_t type) {
    return crc32c::mask(crc32c::extend(crc32c::value(contents), Bytes(&type, 1)));
}

// Three data blocks (raw, Snappy, raw) of four entries each; the index lists
// those `listed` says.
struct Made {
    ByteVec bytes;
    std::vector<BlockHandle> blocks;
};

Made make(const std::vector<bool>& listed) {
    Made made;
    TableBuilder builder;
    for (std::size_t b = 0; b < listed.size(); ++b) {
        std::vector<std::pair<std::string, std::string>> entries;
        for (int i = 0; i < 4; ++i) {
            entries.emplace_back(internal_key("k" + std::to_string(b) + std::to_string(i), b * 10 + i, 1),
                                 "value " + std::to_string(b) + "/" + std::to_string(i));
        }
        const std::uint8_t type = b % 2 == 0 ? BLOCK_TYPE_RAW : BLOCK_TYPE_SNAPPY;
        const ByteVec raw = block_of(entries);
        const ByteVec stored = type == BLOCK_TYPE_RAW ? raw : snappy_compress(raw);
        const BlockHandle handle = builder.add_block(stored, type, checksum(stored, type));
        made.blocks.push_back(handle);
        if (listed[b]) builder.list(handle);
    }
    made.bytes = builder.finish();
    return made;
}

std::vector<std::string> user_keys(const std::vector<Record>& records) {
    std::vector<std::string> out;
    for (const Record& r : records) out.push_back(text_of(r.key()).substr(0, r.key().size() - 8));
    return out;
}

TEST(LdbSalvage, CarvesTheBlockTheIndexLost) {
    TempDir dir;
    const Made made = make({true, false, true});
    const auto table = LdbFile::open(dir.write("000007.ldb", made.bytes));
    ASSERT_TRUE(table.has_value());
    EXPECT_TRUE(table->index_leaves_gaps());
    std::vector<Record> records;
    Seen seen;
    table->salvage_records(RecordCollector{records}, &seen);
    EXPECT_EQ(user_keys(records), (std::vector<std::string>{"k10", "k11", "k12", "k13"}));
    ASSERT_EQ(seen.carved.size(), 1u);
    EXPECT_EQ(seen.carved[0], std::make_pair(made.blocks[1].offset, made.blocks[1].size + BLOCK_TRAILER_SIZE));
    EXPECT_TRUE(seen.skipped.empty());
    EXPECT_EQ(records[0].offset(), made.blocks[1].offset);  // a Snappy block: its own offset
}

TEST(LdbSalvage, AnIndexListingEveryBlockLeavesNoGap) {
    TempDir dir;
    const auto table = LdbFile::open(dir.write("000007.ldb", make({true, true, true}).bytes));
    ASSERT_TRUE(table.has_value());
    EXPECT_FALSE(table->index_leaves_gaps());
}

class LdbSalvageCut : public ::testing::TestWithParam<int> {};

TEST_P(LdbSalvageCut, ATableCutShortGivesTheBlocksBeforeTheCut) {
    TempDir dir;
    const Made made = make({true, true, true});
    const std::size_t cut = made.bytes.size() - static_cast<std::size_t>(GetParam());
    const std::string path = dir.write("000007.ldb", Bytes(made.bytes).first(cut));
    ASSERT_FALSE(LdbFile::open(path).has_value());
    const auto table = LdbFile::open_unindexed(path);
    ASSERT_TRUE(table.has_value());
    std::vector<Record> records;
    Seen seen;
    table->salvage_records(RecordCollector{records}, &seen);
    std::size_t whole = 0;
    for (const BlockHandle& b : made.blocks) whole += b.offset + b.size + BLOCK_TRAILER_SIZE <= cut;
    EXPECT_EQ(records.size(), 4 * whole);
    EXPECT_EQ(seen.carved.size(), whole);
    // What follows the last whole block (the rest of the table) is reported.
    const BlockHandle& last = made.blocks[whole - 1];
    ASSERT_FALSE(seen.skipped.empty());
    EXPECT_EQ(seen.skipped.back().second, cut);
    EXPECT_GE(seen.skipped.back().first, last.offset + last.size + BLOCK_TRAILER_SIZE);
}

// Cuts counted from the end: into the footer, the index, the last data block.
INSTANTIATE_TEST_SUITE_P(FromTheEnd, LdbSalvageCut, ::testing::Values(1, 47, 60, 90, 120));

// A carved block gives its records unless every value in it is the handle of
// a block before it (an index or meta-index block gives nothing): a data block
// whose values only begin or end with such handles is data.
struct Listing {
    const char* name;
    std::vector<bool> handles;  // per entry: its value is the first block's handle
    bool gives_records;
};

class LdbSalvageListing : public ::testing::TestWithParam<Listing> {};

TEST_P(LdbSalvageListing, OnlyABlockOfHandlesAloneGivesNothing) {
    const Listing& listing = GetParam();
    TempDir dir;
    TableBuilder builder;
    const ByteVec first = block_of({{internal_key("a", 1, 1), "first"}});
    const BlockHandle a = builder.add_block(first, BLOCK_TYPE_RAW, checksum(first, BLOCK_TYPE_RAW));
    std::vector<std::pair<std::string, std::string>> entries;
    for (std::size_t i = 0; i < listing.handles.size(); ++i) {
        entries.emplace_back(internal_key("b" + std::to_string(i), 2 + i, 1),
                             listing.handles[i] ? text_of(encode_handle(a)) : "value " + std::to_string(i));
    }
    const ByteVec second = block_of(entries);
    builder.add_block(second, BLOCK_TYPE_RAW, checksum(second, BLOCK_TYPE_RAW));
    const ByteVec bytes = builder.finish();
    // Without its footer, every block is carved.
    const auto table = LdbFile::open_unindexed(dir.write("000009.ldb", Bytes(bytes).first(bytes.size() - FOOTER_SIZE)));
    ASSERT_TRUE(table.has_value());
    std::vector<Record> records;
    table->salvage_records(RecordCollector{records});
    EXPECT_EQ(records.size(), 1 + (listing.gives_records ? listing.handles.size() : 0));
}

INSTANTIATE_TEST_SUITE_P(Values, LdbSalvageListing,
                         ::testing::Values(Listing{"all_handles", {true, true, true}, false},
                                           Listing{"one_handle", {true}, false},
                                           Listing{"first_a_handle", {true, false, false}, true},
                                           Listing{"last_a_handle", {false, false, true}, true},
                                           Listing{"no_handle", {false, false}, true}),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace tarnwick
