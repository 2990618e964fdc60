// Reading through a pass: holes of a sparse file read as zeros without being
// touched, and the records are those the zeros give.
#include "db/file_pass.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "byte_builder.hpp"
#include "ldb_file/ldb_file.hpp"
#include "log_file/log_file.hpp"

namespace tarnwick {
namespace {

using namespace test;

constexpr std::size_t kHoleSize = 1 << 20;

// Turns [offset, offset + length) of the file into a hole; false where the
// file system cannot.
bool punch_hole(const std::string& path, off_t offset, off_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    const bool done = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0;
    ::close(fd);
    return done;
}

blkcnt_t blocks_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_blocks;
}

TEST(FilePass, BytesInMemoryAreViewedInPlace) {
    const ByteVec bytes = bytes_of("hello, world");
    FilePass pass{Bytes(bytes)};
    ByteBuffer scratch;
    const auto read = pass.read(7, 5, scratch, /*copy=*/true);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->data(), bytes.data() + 7);
    EXPECT_FALSE(pass.read(8, 5, scratch, true));  // past the end
    EXPECT_EQ(pass.next_data(3), 3u);
}

// A table whose second block has a hole in the middle of its value, and a
// hole of a megabyte between its blocks that no block is listed over: the
// records equal those of the same bytes written out in full, and the holes
// stay holes.
TEST(FilePass, HolesOfATableReadAsZerosAndStayHoles) {
    TableBuilder table;
    table.add_data_block({{internal_key("a", 1, 1), "small"}});
    table.add_filler(kHoleSize);
    table.add_data_block({{internal_key("b", 2, 1), std::string(3 * 4096 * 4, 'x')}});
    const ByteVec bytes = table.finish();
    // The hole in the value: whole pages of 'x' that become zeros.
    const std::size_t value_at = kHoleSize + 4096 * 2;
    ByteVec dense = bytes;
    std::fill(dense.begin() + value_at, dense.begin() + value_at + 4096 * 4, 0);

    TempDir dir;
    const std::string sparse_path = dir.write("000005.ldb", bytes);
    const std::string dense_path = dir.write("000006.ldb", dense);
    if (!punch_hole(sparse_path, 4096, kHoleSize - 4096) || !punch_hole(sparse_path, value_at, 4096 * 4)) {
        GTEST_SKIP() << "this file system cannot punch holes";
    }
    const blkcnt_t before = blocks_of(sparse_path);
    const auto sparse = LdbFile::open(sparse_path);
    const auto whole = LdbFile::open(dense_path);
    ASSERT_TRUE(sparse && whole);
    std::vector<std::string> from_sparse, from_dense;
    sparse->read_records([&](const RecordView& r) { from_sparse.push_back(text_of(r.key) + text_of(r.value)); });
    whole->read_records([&](const RecordView& r) { from_dense.push_back(text_of(r.key) + text_of(r.value)); });
    EXPECT_EQ(from_sparse, from_dense);
    EXPECT_EQ(from_sparse.size(), 2u);
    EXPECT_EQ(blocks_of(sparse_path), before);
}

}  // namespace
}  // namespace tarnwick
