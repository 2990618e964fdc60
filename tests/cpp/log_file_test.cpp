#include "log_file/log_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "byte_builder.hpp"

namespace tarnwick {
namespace {

using namespace test;

struct Seen {
    std::uint64_t seq;
    KeyState state;
    std::string key;
    std::uint64_t offset;
    friend bool operator==(const Seen&, const Seen&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Seen& s) {
        return os << "{" << s.seq << ", " << int(s.state) << ", " << s.key << ", @" << s.offset << "}";
    }
};

std::vector<Seen> seen(const LogFile& file) {
    std::vector<Seen> out;
    for (const Record& r : file.records()) out.push_back({r.seq(), r.state(), text_of(r.key()), r.offset()});
    return out;
}

TEST(LogFile, ZeroByteFileHasNoRecords) {
    TempDir dir;
    const auto file = LogFile::open(dir.write("000010.log", ""));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->length(), 0u);
    EXPECT_EQ(file->file_number(), 16u);
    EXPECT_TRUE(file->records().empty());
}

TEST(LogFile, MissingFile) {
    TempDir dir;
    const std::string path = dir.path("000001.log");
    const auto file = LogFile::open(path);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error().message(), "IO error: No such file or directory (os error 2)");
}

TEST(LogFile, FileNumberIsTheStemInBase16) {
    TempDir dir;
    EXPECT_EQ(LogFile::open(dir.write("00001a.log", ""))->file_number(), 26u);
    EXPECT_EQ(LogFile::open(dir.write("notanumber.log", ""))->file_number(), 0u);
}

TEST(LogFile, RecordsOfEveryBatchInFileOrder) {
    TempDir dir;
    const ByteVec batch1 = write_batch(100, {{1, "k1", "v1"}, {1, "k2", "v2"}});
    ByteVec damaged = write_batch(200, 2, {{0, "gone", ""}});
    append(damaged, {1, 40, 'x'});  // the second entry's key runs past the payload
    const ByteVec batch3 = write_batch(300, {{2, "odd", "o"}});

    ByteVec bytes = log_of_full_records({batch1, damaged});
    // The third batch in two fragments: the first ends 2 bytes before the end
    // of block 0 (a Zero record fills the space before it), the last opens
    // block 1.
    put_physical(bytes, kZero, std::string(payload_to_leave(bytes, 2 + 7 + 5), 'z'));
    put_physical(bytes, kFirst, text_of(batch3).substr(0, 5));
    pad_to_block_end(bytes);
    put_physical(bytes, kLast, text_of(batch3).substr(5));

    const auto file = LogFile::open(dir.write("000003.log", bytes));
    ASSERT_TRUE(file);
    const std::uint64_t l1 = batch1.size();
    const std::uint64_t after_second = 7 + l1 + 7 + damaged.size();
    const std::vector<Seen> expected{
        {100, KeyState::Live, "k1", 7 + l1 + 12},
        {101, KeyState::Live, "k2", 7 + l1 + 12 + 7},
        {200, KeyState::Deleted, "gone", after_second + 12},
        {300, KeyState::Unknown, "odd", LOG_BLOCK_SIZE - 2 + 12},
    };
    EXPECT_EQ(seen(*file), expected);
    EXPECT_EQ(seen(*file), expected);  // a second pass reads the same
    for (const Record& r : file->records()) EXPECT_EQ(r.origin_file(), dir.path("000003.log"));
}

TEST(LogFile, FileTruncatedAfterOpenIsReadAsFarAsItGoes) {
    TempDir dir;
    ByteVec bytes = log_of_full_records({write_batch(1, {{1, "a", "1"}})});
    pad_to_block_end(bytes);
    append(bytes, log_of_full_records({write_batch(2, {{1, "b", "2"}})}));
    pad_to_block_end(bytes);
    append(bytes, log_of_full_records({write_batch(3, {{1, "c", "3"}})}));
    const std::string path = dir.write("000004.log", bytes);
    const auto file = LogFile::open(path);
    ASSERT_TRUE(file);
    ASSERT_EQ(seen(*file).size(), 3u);

    ASSERT_EQ(::truncate(path.c_str(), LOG_BLOCK_SIZE + 4096), 0);
    std::vector<std::uint64_t> seqs;
    for (const Seen& s : seen(*file)) seqs.push_back(s.seq);
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1, 2}));

    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_TRUE(file->records().empty());
}

}  // namespace
}  // namespace tarnwick
