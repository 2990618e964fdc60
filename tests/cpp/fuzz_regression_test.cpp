// Hostile inputs that once made a reader misbehave, kept byte for byte so that
// the fault cannot come back. An input that a fuzz target (fuzz/) reports goes
// here as inline bytes, with what went wrong and what must happen instead.
#include <gtest/gtest.h>

#include <string>

#include "byte_builder.hpp"
#include "ldb_file/ldb_file.hpp"

namespace tarnwick {
namespace {

using namespace test;

// Index entries are kept from open until the file is closed, one per line of
// the index. A copy of each entry's key made a 200 KB file cost 1.2 GB: every
// entry took its whole 60 KB key from the one before (shared = 60000,
// non_shared = 0, 7 bytes each), and each copy was a fresh 60 KB. Nothing
// reads those keys, so an entry holds its handle and nothing else.
static_assert(sizeof(IndexEntry) == sizeof(BlockHandle), "an index entry must not own memory of its own");

TEST(FuzzRegression, IndexEntriesSharingALongKeyKeepOnlyTheirHandles) {
    TableBuilder table;
    const BlockHandle data = table.add_block(block_of({{internal_key("key", 1, 1), "value"}}));
    const std::string handle = text_of(encode_handle(data));
    const std::string long_key(60000, 'x');
    ByteVec index;
    put_block_entry(index, 0, long_key, handle);
    for (int i = 0; i < 2000; ++i) put_block_entry(index, long_key.size(), "", handle);
    put_restarts(index, {0});
    const BlockHandle index_handle = table.add_block(index);
    append(table.bytes(), footer({0, 0}, index_handle));

    TempDir dir;
    const auto file = LdbFile::open(dir.write("000001.ldb", table.bytes()));
    ASSERT_TRUE(file) << file.error().message();
    EXPECT_EQ(file->index().size(), 2001u);
    // The block is listed 2001 times and read once.
    const auto records = file->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(text_of(records[0].value()), "value");
}

}  // namespace
}  // namespace tarnwick
