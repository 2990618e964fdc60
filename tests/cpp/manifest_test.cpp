#include "manifest/manifest.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "byte_builder.hpp"
#include "manifest/file_levels.hpp"
#include "manifest/version_edit.hpp"

namespace tarnwick {

void PrintTo(const FileLevel& level, std::ostream* os) { *os << '{' << level.number() << ", " << level.level() << '}'; }

namespace {

using namespace test;

struct NameCase {
    std::string name;
    std::optional<std::uint64_t> number;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << printable(c.name); }

class ManifestName : public ::testing::TestWithParam<NameCase> {};

// Manifest::open checks the name before it touches the file: a refused name
// gives the name error even though the file does not exist.
TEST_P(ManifestName, Number) {
    EXPECT_EQ(manifest_number(GetParam().name), GetParam().number);
    TempDir dir;
    const auto manifest = Manifest::open(dir.path(GetParam().name));
    ASSERT_FALSE(manifest);
    EXPECT_EQ(manifest.error().message(), GetParam().number ? "manifest I/O error: No such file or directory (os error 2)"
                                                            : "invalid manifest filename");
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, ManifestName,
    ::testing::Values(NameCase{"MANIFEST-000005", 5}, NameCase{"MANIFEST-000010", 16},
                      NameCase{"MANIFEST-00000a", 10}, NameCase{"MANIFEST-00000A", 10}, NameCase{"MANIFEST-+12", 18},
                      NameCase{"MANIFEST-00000000000000000001", 1}));

INSTANTIATE_TEST_SUITE_P(
    Refused, ManifestName,
    ::testing::Values(NameCase{"manifest-000005", std::nullopt}, NameCase{"MANIFEST-", std::nullopt},
                      NameCase{"MANIFEST", std::nullopt}, NameCase{"MANIFEST-+", std::nullopt},
                      NameCase{"MANIFEST--5", std::nullopt}, NameCase{"MANIFEST-12x", std::nullopt},
                      NameCase{"MANIFEST-000012.bak", std::nullopt}, NameCase{"MANIFEST_000012", std::nullopt},
                      NameCase{"MANIFEST-10000000000000000", std::nullopt}));

TEST(Manifest, MissingFileWithAGoodName) {
    TempDir dir;
    const auto manifest = Manifest::open(dir.path("MANIFEST-000001"));
    ASSERT_FALSE(manifest);
    EXPECT_EQ(manifest.error().message(), "manifest I/O error: No such file or directory (os error 2)");
}

TEST(Manifest, EmptyFile) {
    TempDir dir;
    const auto manifest = Manifest::open(dir.write("MANIFEST-000010", ""));
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->file_number(), 16u);
    EXPECT_EQ(manifest->path(), dir.path("MANIFEST-000010"));
    EXPECT_TRUE(manifest->file_levels().empty());
}

std::vector<FileLevel> levels_of(const Manifest& manifest) {
    return {manifest.file_levels().begin(), manifest.file_levels().end()};
}

// Version edit fields, as the engine writes them.
ByteVec tag(std::uint64_t t) { return varint(t); }
ByteVec new_file(std::uint64_t level, std::uint64_t number, std::uint64_t size, std::string_view smallest,
                 std::string_view largest) {
    ByteVec out = tag(7);
    put_varint(out, level);
    put_varint(out, number);
    put_varint(out, size);
    put_length_prefixed(out, smallest);
    put_length_prefixed(out, largest);
    return out;
}
ByteVec deleted_file(std::uint64_t level, std::uint64_t number) {
    ByteVec out = tag(6);
    put_varint(out, level);
    put_varint(out, number);
    return out;
}
ByteVec number_field(std::uint64_t t, std::uint64_t value) {
    ByteVec out = tag(t);
    put_varint(out, value);
    return out;
}
ByteVec concat(std::initializer_list<ByteVec> parts) {
    ByteVec out;
    for (const ByteVec& part : parts) append(out, part);
    return out;
}

TEST(VersionEdit, EveryField) {
    ByteVec comparator = tag(1);
    put_length_prefixed(comparator, "leveldb.BytewiseComparator");
    ByteVec pointer = tag(5);
    put_varint(pointer, 1);
    put_length_prefixed(pointer, "cp");
    const ByteVec record = concat({comparator, number_field(2, 5), number_field(9, 6), number_field(3, 7),
                                   number_field(4, 1ull << 40), pointer, deleted_file(2, 33),
                                   new_file(3, 44, 1000, "aa", "zz")});
    const VersionEdit edit = decode_version_edit(record);
    EXPECT_EQ(edit.comparator, "leveldb.BytewiseComparator");
    EXPECT_EQ(edit.log_number, 5u);
    EXPECT_EQ(edit.prev_log_number, 6u);
    EXPECT_EQ(edit.next_file_number, 7u);
    EXPECT_EQ(edit.last_sequence, 1ull << 40);
    ASSERT_EQ(edit.compact_pointers.size(), 1u);
    EXPECT_EQ(edit.compact_pointers[0].level, 1u);
    EXPECT_EQ(text_of(edit.compact_pointers[0].key), "cp");
    ASSERT_EQ(edit.deleted_files.size(), 1u);
    EXPECT_EQ(edit.deleted_files[0].level, 2u);
    EXPECT_EQ(edit.deleted_files[0].number, 33u);
    ASSERT_EQ(edit.new_files.size(), 1u);
    EXPECT_EQ(edit.new_files[0].level, 3u);
    EXPECT_EQ(edit.new_files[0].number, 44u);
    EXPECT_EQ(edit.new_files[0].file_size, 1000u);
    EXPECT_EQ(text_of(edit.new_files[0].smallest), "aa");
    EXPECT_EQ(text_of(edit.new_files[0].largest), "zz");
}

struct StopCase {
    std::string name;
    ByteVec bytes;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class VersionEditStop : public ::testing::TestWithParam<StopCase> {};

// Tags 0 and 8, and anything from 10 up, end the edit; what came before stays.
TEST_P(VersionEditStop, KeepsWhatCameBefore) {
    const VersionEdit edit = decode_version_edit(
        concat({number_field(2, 5), number_field(3, 7), new_file(0, 9, 1, "a", "b"), GetParam().bytes, number_field(4, 99)}));
    EXPECT_EQ(edit.log_number, 5u);
    EXPECT_EQ(edit.next_file_number, 7u);
    EXPECT_EQ(edit.new_files.size(), 1u);
    EXPECT_FALSE(edit.last_sequence);
}

INSTANTIATE_TEST_SUITE_P(Tags, VersionEditStop,
                         ::testing::Values(StopCase{"tag8", tag(8)}, StopCase{"tag8_field", number_field(8, 1)},
                                           StopCase{"tag0", tag(0)}, StopCase{"tag10", tag(10)},
                                           StopCase{"tag128", tag(128)}, StopCase{"tag2pow34", tag(1ull << 34)}));

TEST(VersionEdit, ShortRecordsAndALoneLastTag) {
    EXPECT_FALSE(decode_version_edit(ByteVec{}).log_number);
    EXPECT_FALSE(decode_version_edit(ByteVec{0x02}).log_number);
    // The last byte is a tag with nothing after it: the edit ends before it,
    // so it neither drops the field read before nor adds an empty entry.
    EXPECT_EQ(decode_version_edit(ByteVec{0x02, 0x05, 0x02}).log_number, 5u);
    EXPECT_TRUE(decode_version_edit(ByteVec{0x02, 0x05, 0x07}).new_files.empty());
    EXPECT_TRUE(decode_version_edit(ByteVec{0x02, 0x05, 0x06}).deleted_files.empty());
    // A number that cannot be read drops an earlier value of its field.
    EXPECT_FALSE(decode_version_edit(ByteVec{0x02, 0x05, 0x02, 0xFF}).log_number);
}

TEST(VersionEdit, ComparatorMustBeUtf8) {
    ByteVec bytes = tag(1);
    put_length_prefixed(bytes, "abc");
    append(bytes, tag(1));
    put_length_prefixed(bytes, "\xC3\x28");
    EXPECT_FALSE(decode_version_edit(bytes).comparator);  // the earlier "abc" is dropped too
}

// The largest key's length runs past the record: largest stays empty, and the
// bytes of that length are read as the next tag (9: prev_log_number 42).
TEST(VersionEdit, NewFileWhoseLargestRunsPastTheRecord) {
    const ByteVec record{0x07, 0x01, 0x09, 0x64, 0x01, 'a', 0x09, 0x2A};
    const VersionEdit edit = decode_version_edit(record);
    ASSERT_EQ(edit.new_files.size(), 1u);
    EXPECT_EQ(edit.new_files[0].level, 1u);
    EXPECT_EQ(edit.new_files[0].number, 9u);
    EXPECT_EQ(edit.new_files[0].file_size, 100u);
    EXPECT_EQ(text_of(edit.new_files[0].smallest), "a");
    EXPECT_TRUE(edit.new_files[0].largest.empty());
    EXPECT_EQ(edit.prev_log_number, 42u);
}

struct GatherCase {
    std::string name;
    std::vector<FileLevel> added;  // in edit order
    std::vector<FileLevel> kept;
};
void PrintTo(const GatherCase& c, std::ostream* os) { *os << c.name; }

class FileLevelGathering : public ::testing::TestWithParam<GatherCase> {};

TEST_P(FileLevelGathering, SortedByNumberWithTheLastLevelOfEach) {
    FileLevelGatherer gatherer(1000);
    for (const FileLevel& added : GetParam().added) gatherer.add(added.number(), added.level());
    EXPECT_EQ(std::move(gatherer).finish(), GetParam().kept);
}

constexpr std::uint64_t kMaxNumber = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, FileLevelGathering,
    ::testing::Values(
        GatherCase{"none", {}, {}},
        GatherCase{"descending", {{9, 1}, {5, 2}, {3, 0}}, {{3, 0}, {5, 2}, {9, 1}}},
        GatherCase{"repeats_apart", {{5, 1}, {3, 0}, {5, 4}, {3, 6}, {5, 2}}, {{3, 6}, {5, 2}}},
        GatherCase{"repeats_in_a_row", {{7, 3}, {7, 1}, {7, 5}}, {{7, 5}}},
        // Numbers that differ only in their high or low 32 bits stay apart.
        GatherCase{"wide_numbers",
                   {{kMaxNumber, 1}, {1ull << 32, 2}, {1, 3}, {(1ull << 32) | 1, 4}, {kMaxNumber, 5}},
                   {{1, 3}, {1ull << 32, 2}, {(1ull << 32) | 1, 4}, {kMaxNumber, 5}}},
        // Over-long level varints reach 2^35 - 1; such levels are all held as 2^32 - 1.
        GatherCase{"impossible_levels",
                   {{4, (1ull << 35) - 1}, {2, 1ull << 32}, {3, FileLevel::kHighestLevel}},
                   {{2, FileLevel::kHighestLevel}, {3, FileLevel::kHighestLevel}, {4, FileLevel::kHighestLevel}}}));

// More additions than the reserve a manifest's size allows for (which a real
// manifest cannot hold) are still gathered.
TEST(FileLevelGathering, BeyondTheReserve) {
    FileLevelGatherer gatherer(0);
    for (std::uint64_t number = 1000; number > 0; --number) gatherer.add(number, number % 7);
    const std::vector<FileLevel> kept = std::move(gatherer).finish();
    ASSERT_EQ(kept.size(), 1000u);
    EXPECT_EQ(kept.front(), FileLevel(1, 1));
    EXPECT_EQ(kept.back(), FileLevel(1000, 1000 % 7));
}

TEST(Manifest, FileLevelsKeepEveryAdditionAtItsLastLevel) {
    ByteVec bytes = log_of_full_records({
        concat({number_field(2, 3), new_file(0, 7, 100, "a", "b")}),
        deleted_file(0, 7),  // deletions are not applied
    });
    TempDir dir;
    {
        const auto manifest = Manifest::open(dir.write("MANIFEST-000002", bytes));
        ASSERT_TRUE(manifest);
        EXPECT_EQ(levels_of(*manifest), (std::vector<FileLevel>{{7, 0}}));
    }
    // A damaged stretch, then an edit in fragments across a block boundary.
    put_physical(bytes, 0x63, "garbage");
    pad_to_block_end(bytes, 0x63);
    const ByteVec later = concat({new_file(2, 7, 100, "a", "b"), new_file(1, 8, 50, "c", "d")});
    put_physical(bytes, kFirst, text_of(later).substr(0, 4));
    pad_to_block_end(bytes);
    put_physical(bytes, kLast, text_of(later).substr(4));
    const auto manifest = Manifest::open(dir.write("MANIFEST-000003", bytes));
    ASSERT_TRUE(manifest);
    EXPECT_EQ(levels_of(*manifest), (std::vector<FileLevel>{{7, 2}, {8, 1}}));
}

}  // namespace
}  // namespace tarnwick
