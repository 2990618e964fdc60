#include "varint/varint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "byte_builder.hpp"
#include "ldb_file/block_handle.hpp"

namespace tarnwick {
namespace {

using test::ByteVec;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

ByteVec repeated(std::uint8_t byte, std::size_t count, std::initializer_list<std::uint8_t> tail = {}) {
    ByteVec out(count, byte);
    out.insert(out.end(), tail);
    return out;
}

struct VarintCase {
    std::string name;
    ByteVec bytes;
    std::size_t offset;
    std::optional<Varint> width32;  // expected from decode_varint32
    std::optional<Varint> width64;  // expected from decode_varint64
};
void PrintTo(const VarintCase& c, std::ostream* os) { *os << c.name; }

class VarintDecode : public ::testing::TestWithParam<VarintCase> {};

void expect_varint(const std::optional<Varint>& got, const std::optional<Varint>& want, const char* width) {
    ASSERT_EQ(got.has_value(), want.has_value()) << width;
    if (want) {
        EXPECT_EQ(got->value, want->value) << width;
        EXPECT_EQ(got->length, want->length) << width;
    }
}

TEST_P(VarintDecode, BothWidths) {
    const VarintCase& c = GetParam();
    expect_varint(decode_varint32(c.bytes, c.offset), c.width32, "32-bit");
    expect_varint(decode_varint64(c.bytes, c.offset), c.width64, "64-bit");
}

INSTANTIATE_TEST_SUITE_P(
    Table, VarintDecode,
    ::testing::Values(
        VarintCase{"TwoBytes", {0x96, 0x01}, 0, Varint{150, 2}, Varint{150, 2}},
        VarintCase{"OneByte", {0x7F}, 0, Varint{127, 1}, Varint{127, 1}},
        VarintCase{"AtOffset", {0xFF, 0x96, 0x01}, 1, Varint{150, 2}, Varint{150, 2}},
        VarintCase{"Empty", {}, 0, std::nullopt, std::nullopt},
        VarintCase{"OffsetAtEnd", {0x01, 0x02}, 2, std::nullopt, std::nullopt},
        VarintCase{"LoneContinuation", {0x80}, 0, std::nullopt, std::nullopt},
        VarintCase{"CutOffAfterTwo", {0xFF, 0xFF}, 0, std::nullopt, std::nullopt},
        // The fifth byte of the 32-bit form carries bits 28..34; nothing is
        // reduced to 32 bits.
        VarintCase{"Max32", {0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 0, Varint{(1ULL << 35) - 1, 5},
                   Varint{(1ULL << 35) - 1, 5}},
        // A continuation bit on the fifth byte ends the 32-bit form there; the
        // 64-bit form goes on.
        VarintCase{"OverWideFifth", {0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 0, Varint{0, 5}, Varint{1ULL << 35, 6}},
        VarintCase{"OverWideFifthAtEnd", repeated(0xFF, 5), 0, Varint{(1ULL << 35) - 1, 5}, std::nullopt},
        VarintCase{"CutOffFourth", repeated(0xFF, 4), 0, std::nullopt, std::nullopt},
        VarintCase{"Max64EndsWith01", repeated(0xFF, 9, {0x01}), 0, Varint{(1ULL << 35) - 1, 5}, Varint{kMax64, 10}},
        // Only the lowest bit of the tenth byte lands in the value.
        VarintCase{"Max64EndsWith7F", repeated(0xFF, 9, {0x7F}), 0, Varint{(1ULL << 35) - 1, 5}, Varint{kMax64, 10}},
        VarintCase{"OverWideTenth", repeated(0xFF, 10, {0x05}), 0, Varint{(1ULL << 35) - 1, 5}, Varint{kMax64, 10}},
        VarintCase{"TenthBitLost", repeated(0x80, 9, {0x02}), 0, Varint{0, 5}, Varint{0, 10}},
        VarintCase{"CutOffNinth", repeated(0xFF, 9), 0, Varint{(1ULL << 35) - 1, 5}, std::nullopt}),
    [](const auto& case_info) { return case_info.param.name; });

TEST(ReadBytes, FitsExactlyOrNot) {
    const ByteVec data{1, 2, 3, 4};
    ASSERT_TRUE(read_bytes(data, 1, 3));
    EXPECT_EQ(read_bytes(data, 1, 3)->size(), 3u);
    EXPECT_EQ(read_bytes(data, 1, 3)->data(), data.data() + 1);
    EXPECT_FALSE(read_bytes(data, 1, 4));
    ASSERT_TRUE(read_bytes(data, 4, 0));
    EXPECT_TRUE(read_bytes(data, 4, 0)->empty());
}

TEST(ReadBytes, HugeCountsDoNotWrap) {
    const ByteVec data{1, 2, 3, 4};
    for (std::uint64_t count : std::initializer_list<std::uint64_t>{kMax64, kMax64 - 1, kMax64 - 2, 1ULL << 63, SIZE_MAX}) {
        for (std::size_t offset : {0u, 1u, 4u}) {
            EXPECT_FALSE(read_bytes(data, offset, count)) << count << " at " << offset;
        }
    }
}

TEST(LengthPrefixedSlice, Cases) {
    const ByteVec good{0x03, 'a', 'b', 'c', 'd'};
    const auto slice = get_length_prefixed_slice(good);
    ASSERT_TRUE(slice);
    EXPECT_EQ(test::text_of(slice->slice), "abc");
    EXPECT_EQ(slice->length, 4u);

    const ByteVec empty_string{0x00, 'x'};
    ASSERT_TRUE(get_length_prefixed_slice(empty_string));
    EXPECT_TRUE(get_length_prefixed_slice(empty_string)->slice.empty());
    EXPECT_EQ(get_length_prefixed_slice(empty_string)->length, 1u);

    EXPECT_FALSE(get_length_prefixed_slice(ByteVec{0x05, 'a', 'b'}));
    EXPECT_FALSE(get_length_prefixed_slice(ByteVec{}));
    EXPECT_FALSE(get_length_prefixed_slice(ByteVec{0x80}));
}

TEST(LengthPrefixedSlice, NearMaximumPrefixesDoNotWrap) {
    // Prefix + n would wrap round to a small number for these n.
    for (std::uint64_t n : {kMax64, kMax64 - 9, kMax64 - 10, kMax64 - 11}) {
        ByteVec bytes = test::varint(n);
        bytes.resize(bytes.size() + 16, 'x');
        EXPECT_FALSE(get_length_prefixed_slice(bytes)) << n;
    }
}

TEST(ByteCursor, FailedReadsLeaveThePosition) {
    // A good varint (1), then a varint cut off by the end.
    const ByteVec data{0x01, 0x80, 0x80};
    ByteCursor cursor(data);
    EXPECT_EQ(cursor.read_varint64(), 1u);
    EXPECT_EQ(cursor.pos, 1u);
    EXPECT_FALSE(cursor.read_varint32());
    EXPECT_FALSE(cursor.read_varint64());
    EXPECT_FALSE(cursor.read_length_prefixed_slice());
    EXPECT_EQ(cursor.pos, 1u);
}

TEST(ByteCursor, LengthPrefixedSlicePastTheEndLeavesThePosition) {
    const ByteVec data{0x01, 'a', 0x09, 'b', 'c'};
    ByteCursor cursor(data);
    ASSERT_TRUE(cursor.read_length_prefixed_slice());
    EXPECT_EQ(cursor.pos, 2u);
    EXPECT_FALSE(cursor.read_length_prefixed_slice());
    EXPECT_EQ(cursor.pos, 2u);
    EXPECT_EQ(cursor.read_varint32(), 9u);  // the prefix is then read as anything else
}

TEST(ByteCursor, AtTheEndEveryReadIsAbsent) {
    const ByteVec data{0x05};
    ByteCursor cursor(data);
    ASSERT_TRUE(cursor.read_varint32());
    EXPECT_FALSE(cursor.read_varint32());
    EXPECT_FALSE(cursor.read_varint64());
    EXPECT_FALSE(cursor.read_length_prefixed_slice());
    EXPECT_FALSE(read_block_handle(cursor));
    EXPECT_EQ(cursor.pos, 1u);
}

TEST(ByteCursor, BlockHandle) {
    ByteVec data = test::varint(1000);
    test::append(data, test::varint(kMax64));
    test::append(data, {0x77});
    ByteCursor cursor(data);
    const auto handle = read_block_handle(cursor);
    ASSERT_TRUE(handle);
    EXPECT_EQ(*handle, (BlockHandle{1000, kMax64}));
    EXPECT_EQ(cursor.pos, data.size() - 1);
    EXPECT_EQ(decode_block_handle(data), handle);  // trailing bytes are ignored
}

TEST(ByteCursor, BlockHandleWhoseSizeIsCutOffLeavesTheCursorAfterTheOffset) {
    const ByteVec data{0x96, 0x01, 0xFF, 0xFF};
    ByteCursor cursor(data);
    EXPECT_FALSE(read_block_handle(cursor));
    EXPECT_EQ(cursor.pos, 2u);
    EXPECT_FALSE(decode_block_handle(data));
}

TEST(ByteCursor, BlockHandleWhoseOffsetIsCutOffLeavesTheCursor) {
    const ByteVec data{0x96};
    ByteCursor cursor(data);
    EXPECT_FALSE(read_block_handle(cursor));
    EXPECT_EQ(cursor.pos, 0u);
}

TEST(Fixed, LittleEndian) {
    const ByteVec data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88, 0x99};
    EXPECT_EQ(read_fixed16(data, 7), 0x9988u);
    EXPECT_EQ(read_fixed32(data, 0), 0x04030201u);
    EXPECT_EQ(read_fixed64(data, 1), 0x9988070605040302ULL);
}

}  // namespace
}  // namespace tarnwick
