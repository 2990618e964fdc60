#include "log_file/write_batch.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using namespace test;

constexpr std::uint64_t kRecordOffset = 1000;
constexpr std::uint64_t kFirstEntry = kRecordOffset + BATCH_HEADER_SIZE;
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct Expected {
    std::uint64_t seq;
    KeyState state;
    std::string key;
    std::string value;
    std::uint64_t offset;
    friend bool operator==(const Expected&, const Expected&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Expected& e) {
        return os << "{seq " << e.seq << ", state " << int(e.state) << ", key '" << e.key << "', value '" << e.value
                  << "', offset " << e.offset << "}";
    }
};

std::vector<Expected> parse(const ByteVec& payload) {
    const SharedPath path("/db/000003.log");
    std::vector<Expected> out;
    parse_write_batch(kRecordOffset, payload, path, [&](const RecordView& view) {
        const Record r(view);
        EXPECT_EQ(r.file_type(), FileKind::Log);
        EXPECT_EQ(r.origin_file(), "/db/000003.log");
        EXPECT_FALSE(r.was_compressed());
        EXPECT_EQ(text_of(r.user_key()), text_of(r.key()));  // log keys have no trailer
        out.push_back({r.seq(), r.state(), text_of(r.key()), text_of(r.value()), r.offset()});
    });
    return out;
}

ByteVec with(ByteVec bytes, std::initializer_list<std::uint8_t> more) {
    append(bytes, more);
    return bytes;
}

const BatchEntry kPutA{1, "a", "apple"};   // 9 bytes
const BatchEntry kPutB{1, "bb", "berry"};  // 10 bytes

ByteVec first(const ByteVec& bytes, std::size_t n) { return ByteVec(bytes.begin(), bytes.begin() + n); }

struct BatchCase {
    std::string name;
    ByteVec payload;
    std::vector<Expected> expected;
};
void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

class WriteBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(WriteBatch, Records) { EXPECT_EQ(parse(GetParam().payload), GetParam().expected); }

const Expected kA{77, KeyState::Live, "a", "apple", kFirstEntry};
const Expected kB{78, KeyState::Live, "bb", "berry", kFirstEntry + 9};

INSTANTIATE_TEST_SUITE_P(
    Table, WriteBatch,
    ::testing::Values(
        BatchCase{"TwoValues", write_batch(77, {kPutA, kPutB}), {kA, kB}},
        BatchCase{"Tags",
                  write_batch(5, {{0, "gone", ""}, {1, "k", "v"}, {2, "odd", "x"}, {0xFF, "ff", "y"}}),
                  {{5, KeyState::Deleted, "gone", "", kFirstEntry},
                   {6, KeyState::Live, "k", "v", kFirstEntry + 6},
                   {7, KeyState::Unknown, "odd", "x", kFirstEntry + 6 + 5},
                   {8, KeyState::Unknown, "ff", "y", kFirstEntry + 6 + 5 + 7}}},
        BatchCase{"SequenceWraps",
                  write_batch(kMax64, {kPutA, kPutB}),
                  {{kMax64, KeyState::Live, "a", "apple", kFirstEntry}, {0, KeyState::Live, "bb", "berry", kFirstEntry + 9}}},
        BatchCase{"CountAboveEntries", write_batch(77, 3, {kPutA, kPutB}), {kA, kB}},
        BatchCase{"CountBelowEntries", write_batch(77, 1, {kPutA, kPutB}), {kA}},
        BatchCase{"CountZero", write_batch(77, 0, {kPutA}), {}},
        BatchCase{"HeaderOnly", write_batch(77, 5, {}), {}},
        BatchCase{"ShorterThanHeader", first(write_batch(77, 1, {}), 11), {}},
        BatchCase{"SecondKeyPastPayload", with(write_batch(77, 2, {kPutA}), {1, 5, 'b', 'b'}), {kA}},
        BatchCase{"SecondValuePastPayload", with(write_batch(77, 2, {kPutA}), {1, 1, 'b', 9, 'v'}), {kA}},
        BatchCase{"LoneTag", with(write_batch(77, 2, {kPutA}), {1}), {kA}},
        BatchCase{"ValueTagWithNothingAfterTheKey", with(write_batch(77, 2, {kPutA}), {1, 1, 'b'}), {kA}},
        BatchCase{"DeletionNeedsNoValue", with(write_batch(77, 2, {kPutA}), {0, 1, 'b'}),
                  {kA, {78, KeyState::Deleted, "b", "", kFirstEntry + 9}}},
        BatchCase{"KeyLengthCutOff", with(write_batch(77, 2, {kPutA}), {1, 0x80}), {kA}},
        BatchCase{"HugeKeyLength", with(write_batch(77, 2, {kPutA}), {1, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 'x'}), {kA}},
        BatchCase{"BytesAfterTheLastEntryIgnored", with(write_batch(77, {kPutA}), {1, 1, 'z', 1, 'z'}), {kA}}),
    [](const auto& case_info) { return case_info.param.name; });

}  // namespace
}  // namespace tarnwick
