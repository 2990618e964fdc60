#include "ldb_file/ldb_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using namespace test;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct Seen {
    std::string key;  // the whole stored key
    std::string value;
    std::uint64_t seq;
    KeyState state;
    std::uint64_t offset;
    bool compressed;
    friend bool operator==(const Seen&, const Seen&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Seen& s) {
        return os << "{key size " << s.key.size() << ", '" << s.value << "', seq " << s.seq << ", state "
                  << int(s.state) << ", @" << s.offset << (s.compressed ? ", compressed}" : "}");
    }
};

std::vector<Seen> seen(const LdbFile& file) {
    std::vector<Seen> out;
    for (const Record& r : file.records()) {
        EXPECT_EQ(r.file_type(), FileKind::Table);
        EXPECT_EQ(r.origin_file(), file.path());
        out.push_back({text_of(r.key()), text_of(r.value()), r.seq(), r.state(), r.offset(), r.was_compressed()});
    }
    return out;
}

std::vector<std::string> values(const LdbFile& file) {
    std::vector<std::string> out;
    for (const Seen& s : seen(file)) out.push_back(s.value);
    return out;
}

std::string message_of(const std::expected<LdbFile, LdbError>& file) {
    return file ? std::string("(opened)") : file.error().message();
}

TEST(LdbFile, FilesTooSmallForAFooterOpenEmpty) {
    TempDir dir;
    for (std::size_t size : {0u, 10u, 47u}) {
        const auto file = LdbFile::open(dir.write("000007.ldb", ByteVec(size, 0xFF)));
        ASSERT_TRUE(file) << size << ": " << message_of(file);
        EXPECT_EQ(file->file_number(), 7u);
        EXPECT_TRUE(file->index().empty());
        EXPECT_TRUE(file->records().empty());
        const auto block = file->read_block({0, 1});
        ASSERT_FALSE(block);
        EXPECT_EQ(block.error().message(), "File too small to contain a valid footer");
    }
}

TEST(LdbFile, MissingFile) {
    TempDir dir;
    EXPECT_EQ(message_of(LdbFile::open(dir.path("000001.ldb"))), "IO error: No such file or directory (os error 2)");
}

class LdbWrongMagic : public ::testing::TestWithParam<int> {};

TEST_P(LdbWrongMagic, IsRefusedWithThePath) {
    TempDir dir;
    ByteVec bytes = footer({0, 0}, {0, 0});
    bytes[40 + GetParam()] ^= 0x01;
    const std::string path = dir.write("000001.ldb", bytes);
    EXPECT_EQ(message_of(LdbFile::open(path)), "Invalid magic number in " + path);
}

INSTANTIATE_TEST_SUITE_P(EachByte, LdbWrongMagic, ::testing::Range(0, 8));

TEST(LdbFile, IndexHandlePastTheEnd) {
    TempDir dir;
    const std::string path = dir.write("000001.ldb", footer({0, 0}, {10, 100}));
    EXPECT_EQ(message_of(LdbFile::open(path)),
              "Invalid block: Block extends past end of file at offset 10 in " + path);
}

// Twenty bytes with the top bit set make two ten-byte varints of value
// 2^64 - 1: the meta-index handle, which is decoded and never used.
TEST(LdbFile, MetaIndexHandleOfOverlongVarintsIsIgnored) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "x"}});
    ByteVec bytes = table.finish();
    const auto index = decode_block_handle(Bytes(bytes).last(48).subspan(2));  // after a {0, 0} meta handle
    ASSERT_TRUE(index);
    ByteVec footer_bytes(20, 0xFF);
    append(footer_bytes, encode_handle(*index));
    std::copy(footer_bytes.begin(), footer_bytes.end(), bytes.end() - 48);
    TempDir dir;
    const auto file = LdbFile::open(dir.write("000001.ldb", bytes));
    ASSERT_TRUE(file) << message_of(file);
    EXPECT_EQ(values(*file), (std::vector<std::string>{"x"}));
}

// Forty such bytes make the index handle 2^64 - 1 / 2^64 - 1 as well: it is
// refused without its offset + size wrapping round.
TEST(LdbFile, IndexHandleOfOverlongVarints) {
    TempDir dir;
    ByteVec bytes(40, 0xFF);
    put_fixed64(bytes, TABLE_MAGIC);
    const std::string path = dir.write("000001.ldb", bytes);
    EXPECT_EQ(message_of(LdbFile::open(path)),
              "Invalid block: Block extends past end of file at offset 18446744073709551615 in " + path);
}

TEST(LdbFile, UnreadableIndexBlockFailsTheOpen) {
    TempDir dir;
    {
        TableBuilder table;
        const BlockHandle index = table.add_block(bytes_of("not snappy at all"), 1);
        append(table.bytes(), footer({0, 0}, index));
        const auto file = LdbFile::open(dir.write("000001.ldb", table.bytes()));
        EXPECT_TRUE(message_of(file).starts_with("Snappy decompression error: Decompression error: "))
            << message_of(file);
    }
    {
        TableBuilder table;
        ByteVec contents(8, 0);
        put_fixed32(contents, 5);  // five restart slots in a 12-byte block
        const BlockHandle index = table.add_block(contents);
        append(table.bytes(), footer({0, 0}, index));
        const auto file = LdbFile::open(dir.write("000002.ldb", table.bytes()));
        EXPECT_TRUE(message_of(file).starts_with("Invalid block: ")) << message_of(file);
    }
}

// Entries at block offsets 0 and 25 of a block at file offset 1000.
class LdbOffsets : public ::testing::TestWithParam<std::uint8_t> {};

TEST_P(LdbOffsets, ExactForStoredBlocksBlockStartForCompressed) {
    const std::uint8_t type = GetParam();
    const std::string key1 = internal_key("a", 1, 1);  // 9 bytes; entry 3 + 9 + 13 = 25 bytes
    const std::string key2 = internal_key("b", 2, 1);
    TableBuilder table;
    table.add_filler(1000, 0xEE);
    table.add_data_block({{key1, "thirteen byte"}, {key2, "v"}}, type);
    TempDir dir;
    const auto file = LdbFile::open(dir.write("000123.ldb", table.finish()));
    ASSERT_TRUE(file) << message_of(file);
    EXPECT_EQ(file->file_number(), 0x123u);
    const bool compressed = type != 0;
    const std::vector<Seen> expected{
        {key1, "thirteen byte", 1, KeyState::Live, 1000, compressed},
        {key2, "v", 2, KeyState::Live, compressed ? 1000u : 1025u, compressed},
    };
    EXPECT_EQ(seen(*file), expected);
    EXPECT_EQ(seen(*file), expected);  // every call reads afresh
}

// Any non-zero type byte means Snappy.
INSTANTIATE_TEST_SUITE_P(Types, LdbOffsets, ::testing::Values<std::uint8_t>(0, 1, 2, 0xFF),
                         [](const auto& case_info) { return "type" + std::to_string(case_info.param); });

TEST(LdbFile, SequenceAndStateFromTheKeyTrailer) {
    const std::uint64_t seq = 0x123456789ABCDull;
    TableBuilder table;
    table.add_data_block({
        {"1234567", "short"},
        {internal_key("", seq, 1), "trailer only"},
        {internal_key("", seq, 0), "trailer only, type 0"},
        {internal_key("k", seq, 0), "deleted"},
        {internal_key("k", seq, 1), "live"},
        {internal_key("k", seq, 0x7F), "odd type"},
        {internal_key("k", (1ull << 56) - 1, 0xFF), "largest"},
    });
    TempDir dir;
    const auto file = LdbFile::open(dir.write("000001.ldb", table.finish()));
    ASSERT_TRUE(file) << message_of(file);
    std::vector<std::pair<std::uint64_t, KeyState>> got;
    for (const Seen& s : seen(*file)) got.emplace_back(s.seq, s.state);
    EXPECT_EQ(got, (std::vector<std::pair<std::uint64_t, KeyState>>{{0, KeyState::Unknown},
                                                                     {seq, KeyState::Unknown},
                                                                     {seq, KeyState::Unknown},
                                                                     {seq, KeyState::Deleted},
                                                                     {seq, KeyState::Live},
                                                                     {seq, KeyState::Live},
                                                                     {(1ull << 56) - 1, KeyState::Live}}));
}

TEST(LdbFile, DamagedBlocksAreSkippedAndTheRestRead) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "first"}});
    table.list(table.add_block(bytes_of("type 2, yet not snappy"), 2));
    table.list_value({0x80});  // cut-off varint: left out of the index
    table.list({1u << 30, 10});  // past the end of the file
    table.list({1, kMax64});     // offset + size would wrap round
    {
        ByteVec bad_restarts(8, 0);
        put_fixed32(bad_restarts, 3);
        table.list(table.add_block(bad_restarts));
    }
    table.add_data_block({{internal_key("b", 2, 1), "last"}});
    TempDir dir;
    const auto file = LdbFile::open(dir.write("000001.ldb", table.finish()));
    ASSERT_TRUE(file) << message_of(file);
    EXPECT_EQ(file->index().size(), 6u);
    EXPECT_EQ(values(*file), (std::vector<std::string>{"first", "last"}));
}

TEST(LdbFile, ChecksumBytesAreNeverRead) {
    TempDir dir;
    std::vector<std::vector<Seen>> results;
    for (std::uint32_t checksum : {0u, 0xFFFFFFFFu, 0x01020304u}) {
        TableBuilder table;
        table.list(table.add_block(block_of({{internal_key("a", 1, 1), "x"}}), 0, checksum));
        table.list(table.add_block(snappy_compress(block_of({{internal_key("b", 2, 0), ""}})), 1, checksum));
        const auto file = LdbFile::open(dir.write("000001.ldb", table.finish()));
        ASSERT_TRUE(file) << message_of(file);
        results.push_back(seen(*file));
    }
    EXPECT_EQ(results[0].size(), 2u);
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

// The only trailer that can end at the end of a file holds magic bytes, and
// its type byte (0x8B) sends the block to Snappy: the block is read, not
// refused for its position. One byte more and it is.
TEST(LdbFile, TrailerEndingExactlyAtTheEndOfTheFile) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "x"}});
    TempDir dir;
    const std::string path = dir.write("000001.ldb", table.finish());
    const auto file = LdbFile::open(path);
    ASSERT_TRUE(file) << message_of(file);
    const std::uint64_t length = file->length();

    const auto at_end = file->read_block({length - 5 - 20, 20});
    ASSERT_FALSE(at_end);
    EXPECT_FALSE(at_end.error().message().starts_with("Invalid block: Block extends")) << at_end.error().message();

    const auto past_end = file->read_block({length - 5 - 20, 21});
    ASSERT_FALSE(past_end);
    EXPECT_EQ(past_end.error().message(), "Invalid block: Block extends past end of file at offset " +
                                              std::to_string(length - 25) + " in " + path);

    const auto wrapping = file->read_block({2, kMax64 - 3});
    ASSERT_FALSE(wrapping);
    EXPECT_TRUE(wrapping.error().message().starts_with("Invalid block: Block extends past end of file at offset 2 in "));

    const auto data = file->read_block(file->index().at(0).handle);
    ASSERT_TRUE(data);
    EXPECT_EQ(decode_entries(*data).size(), 1u);
}

TEST(LdbFile, FileTruncatedAfterOpenIsReadAsFarAsItGoes) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "first"}});
    table.add_filler(8192);
    const BlockHandle second = table.add_data_block({{internal_key("b", 2, 1), "second"}});
    TempDir dir;
    const std::string path = dir.write("000001.ldb", table.finish());
    const auto file = LdbFile::open(path);
    ASSERT_TRUE(file) << message_of(file);
    ASSERT_EQ(values(*file).size(), 2u);

    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(second.offset + 3)), 0);
    EXPECT_EQ(values(*file), (std::vector<std::string>{"first"}));
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_TRUE(values(*file).empty());
}

}  // namespace
}  // namespace tarnwick
