#include "log_file/log_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using namespace test;

// (offset, payload) of each logical record.
using Logical = std::vector<std::pair<std::uint64_t, std::string>>;

Logical read_all(const ByteVec& file, std::uint64_t size) {
    Logical out;
    for_each_logical_record(file, size, [&](std::uint64_t offset, Bytes payload) {
        out.emplace_back(offset, text_of(payload));
    });
    // The collecting form must agree with the visiting one.
    const auto gathered = read_logical_records(file, size);
    EXPECT_EQ(gathered.size(), out.size());
    for (std::size_t i = 0; i < std::min(gathered.size(), out.size()); ++i) {
        EXPECT_EQ(gathered[i].offset, out[i].first);
        EXPECT_EQ(text_of(gathered[i].payload), out[i].second);
    }
    return out;
}
Logical read_all(const ByteVec& file) { return read_all(file, file.size()); }

// Physical records, back to back from the start of the file.
using Physical = std::vector<std::pair<std::uint8_t, std::string>>;

ByteVec physical(const Physical& records, ByteVec file = {}) {
    for (const auto& [type, payload] : records) put_physical(file, type, payload);
    return file;
}

// The records, then garbage up to the end of block 0, then "next" opening block 1.
ByteVec then_next_block(const Physical& records) {
    ByteVec file = physical(records);
    pad_to_block_end(file, 0xEE);
    put_physical(file, kFull, "next");
    return file;
}

struct LayoutCase {
    std::string name;
    ByteVec file;
    Logical expected;
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class LogLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LogLayout, Records) { EXPECT_EQ(read_all(GetParam().file), GetParam().expected); }

constexpr std::uint64_t kB = LOG_BLOCK_SIZE;
const std::string kFill(kB - 7, 'f');  // the payload that fills a whole block

INSTANTIATE_TEST_SUITE_P(
    Table, LogLayout,
    ::testing::Values(
        LayoutCase{"Empty", {}, {}},
        LayoutCase{"FullRecords", physical({{kFull, "abc"}, {kFull, ""}, {kFull, "de"}}),
                   {{10, "abc"}, {17, ""}, {26, "de"}}},
        LayoutCase{"FragmentsJoinAtTheFirstsEnd",
                   physical({{kFirst, "ab"}, {kMiddle, "cd"}, {kMiddle, ""}, {kLast, "ef"}}), {{9, "abcdef"}}},
        LayoutCase{"TypeAboveFourEndsTheBlock", then_next_block({{kFull, "a"}, {5, "x"}, {kFull, "lost"}}),
                   {{8, "a"}, {kB + 11, "next"}}},
        LayoutCase{"TypeFFEndsTheBlock", then_next_block({{0xFF, ""}, {kFull, "lost"}}), {{kB + 11, "next"}}},
        LayoutCase{"PayloadPastTheBlockEndsTheBlock", [] {
                       ByteVec f = physical({{kFull, "a"}});
                       put_physical(f, kFull, "xy", 40000);
                       pad_to_block_end(f);
                       return physical({{kFull, "next"}}, f);
                   }(),
                   {{8, "a"}, {kB + 11, "next"}}},
        LayoutCase{"PayloadPastTheFileEnd", [] {
                       ByteVec f = physical({{kFull, "a"}});
                       put_physical(f, kFull, "xy", 3);
                       return f;
                   }(),
                   {{8, "a"}}},
        LayoutCase{"ZeroOfLengthZeroIsSevenBytes", physical({{kZero, ""}, {kFull, "a"}}), {{15, "a"}}},
        LayoutCase{"ZeroSkipsItsPayload", physical({{kZero, "hidden"}, {kFull, "a"}}), {{21, "a"}}},
        LayoutCase{"ZeroDuringAssembly", physical({{kFirst, "ab"}, {kZero, "zz"}, {kLast, "cd"}}), {{9, "abcd"}}},
        LayoutCase{"MiddleAndLastWithoutFirst", physical({{kMiddle, "m"}, {kLast, "l"}, {kFull, "a"}}), {{24, "a"}}},
        LayoutCase{"SecondFirstRestarts", physical({{kFirst, "old"}, {kFirst, "new"}, {kLast, "!"}}), {{20, "new!"}}},
        LayoutCase{"FullAbandonsTheFragment", physical({{kFirst, "old"}, {kFull, "full"}, {kLast, "!"}}),
                   {{21, "full"}}},
        LayoutCase{"FirstWithoutLast", physical({{kFull, "a"}, {kFirst, "b"}, {kMiddle, "c"}}), {{8, "a"}}},
        // A fragment goes on in the next block, after block 0 ended in padding.
        LayoutCase{"AcrossBlocks", [] {
                       ByteVec f = physical({{kFull, "a"}});
                       put_physical(f, kFirst, std::string(payload_to_leave(f, 3), 'f'));
                       pad_to_block_end(f);
                       return physical({{kMiddle, "m"}, {kLast, "l"}, {kFull, "b"}}, f);
                   }(),
                   {{8, "a"}, {kB - 3, std::string(kB - 18, 'f') + "ml"}, {kB + 24, "b"}}},
        // Exactly 7 bytes left in a block hold one more header.
        LayoutCase{"HeaderInTheLastSevenBytes",
                   physical({{kFull, std::string(kB - 14, 'x')}, {kFull, ""}, {kFull, "b"}}),
                   {{kB - 7, std::string(kB - 14, 'x')}, {kB, ""}, {kB + 8, "b"}}},
        // A middle fragment filling a whole block, between blocks 0 and 2.
        LayoutCase{"ThroughAWholeBlock", physical({{kFirst, kFill}, {kMiddle, kFill}, {kLast, "l"}}),
                   {{kB, kFill + kFill + "l"}}},
        // Damage in block 1 does not disturb a fragment that continues in block 2.
        LayoutCase{"SkippedRemainderKeepsTheFragment", [] {
                       ByteVec f = physical({{kFirst, kFill}, {kMiddle, "m"}, {9, ""}});
                       pad_to_block_end(f, 0xAB);
                       return physical({{kLast, "l"}}, f);
                   }(),
                   {{kB, kFill + "ml"}}}),
    [](const auto& case_info) { return case_info.param.name; });

// One to six bytes at the end of a block are padding, whatever their value.
class LogTrailer : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint8_t>> {};

TEST_P(LogTrailer, IsPadding) {
    const auto [left, fill] = GetParam();
    ByteVec f;
    put_physical(f, kFull, std::string(payload_to_leave(f, left), 'x'));
    pad_to_block_end(f, fill);
    put_physical(f, kFull, "next");
    const Logical got = read_all(f);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, kB - left);
    EXPECT_EQ(got[1], (std::pair<std::uint64_t, std::string>{kB + 11, "next"}));
}

INSTANTIATE_TEST_SUITE_P(Table, LogTrailer,
                         ::testing::Combine(::testing::Range<std::size_t>(1, 7),
                                            ::testing::Values<std::uint8_t>(0x00, 0x04, 0xFF)),
                         [](const auto& case_info) {
                             return "left" + std::to_string(std::get<0>(case_info.param)) + "_fill" +
                                    std::to_string(std::get<1>(case_info.param));
                         });

TEST(LogReader, ReadsOnlyTheGivenSizeAndNeverPastTheBytes) {
    ByteVec f;
    put_physical(f, kFull, "a");
    put_physical(f, kFull, "b");
    EXPECT_EQ(read_all(f, 8), (Logical{{8, "a"}}));
    EXPECT_EQ(read_all(f, 15), (Logical{{8, "a"}}));
    // A size larger than the bytes held (a file truncated after it was measured).
    EXPECT_EQ(read_all(f, 1 << 20), (Logical{{8, "a"}, {16, "b"}}));
    f.pop_back();
    EXPECT_EQ(read_all(f, 1 << 20), (Logical{{8, "a"}}));
}

}  // namespace
}  // namespace tarnwick
