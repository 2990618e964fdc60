// Arrow batches: the columns as the C data interface lays them out, the
// bounds that close a batch, and memory that survives any release order.
#include "scan/arrow_batch.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "scan/record_filter.hpp"

namespace tarnwick {
namespace {

ListedFile listed(std::string path, std::uint64_t number) {
    return ListedFile{path.substr(path.rfind('/') + 1), path, path, DataFileKind::Table, number, 0};
}

Bytes bytes(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

RecordView view(const SharedPath& path, std::string_view key, std::string_view value, KeyState state,
                FileKind kind, std::uint64_t offset, bool compressed) {
    return RecordView{bytes(key), bytes(value), 7, state, kind, path, offset, compressed};
}

std::string binary_at(const ArrowArray& column, std::int64_t row) {
    const auto* offsets = static_cast<const std::int64_t*>(column.buffers[1]);
    const auto* data = static_cast<const char*>(column.buffers[2]);
    return std::string(data + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
}

std::string utf8_at(const ArrowArray& column, std::int64_t row) {
    const auto* offsets = static_cast<const std::int32_t*>(column.buffers[1]);
    const auto* data = static_cast<const char*>(column.buffers[2]);
    return std::string(data + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
}

const ArrowArray& column(const ArrowArray& batch, Column c) { return *batch.children[static_cast<std::size_t>(c)]; }

template <class T>
T fixed_at(const ArrowArray& column, std::int64_t row) {
    return static_cast<const T*>(column.buffers[1])[row];
}

TEST(ArrowBatch, LaysOutEveryColumn) {
    const SharedPath path_a("/s/000001.ldb"), path_b("/s/000002.log");
    ArrowBatchBuilder builder(100, 1 << 20);
    const ListedFile a = listed("/s/000001.ldb", 1), b = listed("/s/000002.log", 2);
    builder.begin_file(a);
    const std::string key = std::string("apple") + std::string(8, '\x01');
    for (int i = 0; i < 9; ++i) {
        builder.add(view(path_a, key, "red", KeyState::Live, FileKind::Table, 100 + i, i % 3 == 0));
    }
    builder.begin_file(b);
    builder.add(view(path_b, "pear", "", KeyState::Deleted, FileKind::Log, 40, false));
    ASSERT_FALSE(builder.empty());
    auto chunk = builder.take();
    EXPECT_TRUE(builder.empty());

    ArrowArray batch{};
    static_cast<ArrowBatch&>(*chunk).export_to(&batch);
    ASSERT_EQ(batch.length, 10);
    ASSERT_EQ(batch.n_children, static_cast<std::int64_t>(COLUMN_COUNT));
    EXPECT_EQ(binary_at(column(batch, Column::Key), 0), key);
    EXPECT_EQ(binary_at(column(batch, Column::UserKey), 0), "apple");
    EXPECT_EQ(binary_at(column(batch, Column::UserKey), 9), "pear");  // a log key has no trailer
    EXPECT_EQ(binary_at(column(batch, Column::Value), 9), "");
    EXPECT_EQ(fixed_at<std::uint64_t>(column(batch, Column::Offset), 9), 40U);
    EXPECT_EQ(fixed_at<std::uint64_t>(column(batch, Column::FileNumber), 9), 2U);

    const ArrowArray& state = column(batch, Column::State);
    EXPECT_EQ(utf8_at(*state.dictionary, fixed_at<std::int8_t>(state, 0)), "Live");
    EXPECT_EQ(utf8_at(*state.dictionary, fixed_at<std::int8_t>(state, 9)), "Deleted");
    const ArrowArray& kind = column(batch, Column::FileType);
    EXPECT_EQ(utf8_at(*kind.dictionary, fixed_at<std::int8_t>(kind, 0)), "Ldb");
    EXPECT_EQ(utf8_at(*kind.dictionary, fixed_at<std::int8_t>(kind, 9)), "Log");
    const ArrowArray& file = column(batch, Column::File);
    EXPECT_EQ(file.dictionary->length, 2);
    EXPECT_EQ(utf8_at(*file.dictionary, fixed_at<std::int32_t>(file, 0)), "/s/000001.ldb");
    EXPECT_EQ(utf8_at(*file.dictionary, fixed_at<std::int32_t>(file, 9)), "/s/000002.log");

    const auto* bits = static_cast<const std::uint8_t*>(column(batch, Column::WasCompressed).buffers[1]);
    for (int row = 0; row < 10; ++row) {
        EXPECT_EQ((bits[row / 8] >> (row % 8)) & 1, row < 9 && row % 3 == 0 ? 1 : 0) << row;
    }
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
}

TEST(ArrowBatch, AMovedColumnOutlivesItsBatch) {
    const SharedPath path("/s/000001.log");
    ArrowBatchBuilder builder(10, 1 << 20);
    const ListedFile file = listed("/s/000001.log", 1);
    builder.begin_file(file);
    builder.add(view(path, "k", "v", KeyState::Live, FileKind::Log, 0, false));
    ArrowArray batch{};
    static_cast<ArrowBatch&>(*builder.take()).export_to(&batch);
    // A consumer may move a child out and release the parent at once.
    ArrowArray moved = *batch.children[static_cast<std::size_t>(Column::File)];
    batch.children[static_cast<std::size_t>(Column::File)]->release = nullptr;
    batch.release(&batch);
    EXPECT_EQ(utf8_at(*moved.dictionary, 0), "/s/000001.log");
    moved.release(&moved);
}

TEST(ArrowBatchBuilder, ClosesABatchAtItsRowOrByteBound) {
    const SharedPath path("/s/000001.log");
    const ListedFile file = listed("/s/000001.log", 1);
    ArrowBatchBuilder by_rows(3, 1 << 20);
    by_rows.begin_file(file);
    for (int i = 0; i < 2; ++i) by_rows.add(view(path, "k", "v", KeyState::Live, FileKind::Log, 0, false));
    EXPECT_FALSE(by_rows.full());
    by_rows.add(view(path, "k", "v", KeyState::Live, FileKind::Log, 0, false));
    EXPECT_TRUE(by_rows.full());

    ArrowBatchBuilder by_bytes(1000, 1000);
    by_bytes.begin_file(file);
    const std::string big(600, 'x');
    by_bytes.add(view(path, "k", big, KeyState::Live, FileKind::Log, 0, false));
    EXPECT_FALSE(by_bytes.full());
    by_bytes.add(view(path, "k", big, KeyState::Live, FileKind::Log, 0, false));
    EXPECT_TRUE(by_bytes.full());
    // A batch after take() starts empty, with the file still known.
    (void)by_bytes.take();
    by_bytes.add(view(path, "k", "v", KeyState::Live, FileKind::Log, 0, false));
    ArrowArray batch{};
    static_cast<ArrowBatch&>(*by_bytes.take()).export_to(&batch);
    EXPECT_EQ(batch.length, 1);
    EXPECT_EQ(batch.children[static_cast<std::size_t>(Column::File)]->dictionary->length, 1);
    batch.release(&batch);
}

TEST(RecordFilter, KeepsByStateKindAndUserKeyPrefix) {
    const SharedPath path("/s/000001.ldb");
    const std::string key = std::string("user:1") + std::string(8, '\0');
    RecordFilter filter;
    filter.key_prefix = "user:";
    filter.states = 1U << static_cast<unsigned>(KeyState::Deleted);
    filter.file_kinds = 1U << static_cast<unsigned>(FileKind::Table);
    EXPECT_TRUE(filter.accepts(view(path, key, "", KeyState::Deleted, FileKind::Table, 0, false)));
    EXPECT_FALSE(filter.accepts(view(path, key, "", KeyState::Live, FileKind::Table, 0, false)));
    EXPECT_FALSE(filter.accepts(view(path, "use", "", KeyState::Deleted, FileKind::Log, 0, false)));
    filter.key_prefix = key;  // longer than the user key: the trailer is not part of it
    EXPECT_FALSE(filter.accepts(view(path, key, "", KeyState::Deleted, FileKind::Table, 0, false)));
    EXPECT_TRUE(filter.reads(DataFileKind::Table));
    EXPECT_FALSE(filter.reads(DataFileKind::Log));
}

}  // namespace
}  // namespace tarnwick
