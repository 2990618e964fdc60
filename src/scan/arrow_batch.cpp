#include "scan/arrow_batch.hpp"

#include "scan/shared_arrow_array.hpp"

#include <atomic>
#include <cstring>

namespace tarnwick {

namespace {

constexpr std::size_t STATE = static_cast<std::size_t>(Column::State);
constexpr std::size_t FILE_TYPE = static_cast<std::size_t>(Column::FileType);
constexpr std::size_t FILE = static_cast<std::size_t>(Column::File);
constexpr std::size_t MAX_BUFFERS = 3;

// The fixed dictionaries, as Arrow utf8 arrays (int32 offsets, then the text).
template <std::size_t N>
struct WordList {
    std::int32_t offsets[N + 1];
    char text[64];
};

template <std::size_t N>
constexpr WordList<N> word_list(const std::array<std::string_view, N>& words) {
    WordList<N> list{};
    std::int32_t at = 0;
    list.offsets[0] = 0;
    for (std::size_t i = 0; i < N; ++i) {
        for (char c : words[i]) list.text[at++] = c;
        list.offsets[i + 1] = at;
    }
    return list;
}

constexpr auto STATE_LIST = word_list(STATE_WORDS);
constexpr auto FILE_TYPE_LIST = word_list(FILE_TYPE_WORDS);

// Everything one exported batch owns. Each array may be released on its own
// (a consumer may move a column out and release the struct), so the storage
// counts its live arrays and frees the memory with the last one.
struct BatchStorage {
    ArrowBatch::Buffers owned;  // the batch's memory
    ArrowArray columns[COLUMN_COUNT]{};
    ArrowArray* column_pointers[COLUMN_COUNT]{};
    ArrowArray dictionaries[COLUMN_COUNT]{};
    const void* buffers[1 + 2 * COLUMN_COUNT][MAX_BUFFERS]{};
    std::atomic<std::size_t> live{0};
};

class Exporter {
   public:
    explicit Exporter(BatchStorage* storage) : storage_(storage) {}

    void fill(ArrowArray& array, std::int64_t length, std::initializer_list<const void*> buffers) {
        fill_shared_array(array, storage_, storage_->buffers[next_slot_++], length, 0, buffers);
    }

   private:
    BatchStorage* storage_;
    std::size_t next_slot_ = 0;
};

}  // namespace

void ArrowBatch::export_to(ArrowArray* out) {
    auto* storage = new BatchStorage;
    Exporter exporter(storage);
    auto at = [&](BatchBuffer which) -> const void* { return buffer<std::uint8_t>(which); };
    const std::int64_t rows = rows_;

    auto binary = [&](Column column, BatchBuffer offsets, BatchBuffer data) {
        exporter.fill(storage->columns[static_cast<std::size_t>(column)], rows, {nullptr, at(offsets), at(data)});
    };
    auto fixed = [&](Column column, BatchBuffer values) {
        exporter.fill(storage->columns[static_cast<std::size_t>(column)], rows, {nullptr, at(values)});
    };
    binary(Column::Key, BatchBuffer::KeyOffsets, BatchBuffer::KeyData);
    binary(Column::UserKey, BatchBuffer::UserKeyOffsets, BatchBuffer::UserKeyData);
    binary(Column::Value, BatchBuffer::ValueOffsets, BatchBuffer::ValueData);
    fixed(Column::Seq, BatchBuffer::Seq);
    fixed(Column::State, BatchBuffer::State);
    fixed(Column::FileType, BatchBuffer::FileType);
    fixed(Column::File, BatchBuffer::File);
    fixed(Column::FileNumber, BatchBuffer::FileNumber);
    fixed(Column::Offset, BatchBuffer::Offset);
    fixed(Column::WasCompressed, BatchBuffer::WasCompressed);

    exporter.fill(storage->dictionaries[STATE], STATE_WORDS.size(), {nullptr, STATE_LIST.offsets, STATE_LIST.text});
    exporter.fill(storage->dictionaries[FILE_TYPE], FILE_TYPE_WORDS.size(),
                  {nullptr, FILE_TYPE_LIST.offsets, FILE_TYPE_LIST.text});
    exporter.fill(storage->dictionaries[FILE], static_cast<std::int64_t>(files_.size()),
                  {nullptr, at(BatchBuffer::PathOffsets), at(BatchBuffer::PathText)});
    for (std::size_t i : {STATE, FILE_TYPE, FILE}) storage->columns[i].dictionary = &storage->dictionaries[i];

    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) storage->column_pointers[i] = &storage->columns[i];
    ArrowArray root{};
    exporter.fill(root, rows, {nullptr});
    root.n_children = COLUMN_COUNT;
    root.children = storage->column_pointers;
    storage->owned = std::move(buffers_);
    rows_ = 0;
    files_.clear();
    *out = root;
}

ArrowBatchBuilder::ArrowBatchBuilder(std::size_t max_rows, std::size_t max_bytes)
    : max_rows_(max_rows == 0 ? 1 : max_rows), max_bytes_(max_bytes) {
    start_batch();
}

void ArrowBatchBuilder::start_batch() {
    columns_[static_cast<std::size_t>(BatchBuffer::KeyOffsets)].push<std::int64_t>(0);
    columns_[static_cast<std::size_t>(BatchBuffer::UserKeyOffsets)].push<std::int64_t>(0);
    columns_[static_cast<std::size_t>(BatchBuffer::ValueOffsets)].push<std::int64_t>(0);
    files_.clear();
    rows_ = 0;
    bytes_ = 0;
    file_index_ = -1;
}

void ArrowBatchBuilder::begin_file(const ListedFile& file) {
    file_ = &file;
    file_index_ = -1;
}

void ArrowBatchBuilder::add(const RecordView& record) {
    auto column = [&](BatchBuffer which) -> ColumnBuffer& { return columns_[static_cast<std::size_t>(which)]; };
    if (file_index_ < 0) {
        file_index_ = static_cast<std::int32_t>(files_.size());
        files_.push_back(file_->display_text);
    }
    const Bytes user_key = record.user_key();
    ColumnBuffer& key_data = column(BatchBuffer::KeyData);
    key_data.append(record.key.data(), record.key.size());
    column(BatchBuffer::KeyOffsets).push(static_cast<std::int64_t>(key_data.size()));
    ColumnBuffer& user_key_data = column(BatchBuffer::UserKeyData);
    user_key_data.append(user_key.data(), user_key.size());
    column(BatchBuffer::UserKeyOffsets).push(static_cast<std::int64_t>(user_key_data.size()));
    ColumnBuffer& value_data = column(BatchBuffer::ValueData);
    value_data.append(record.value.data(), record.value.size());
    column(BatchBuffer::ValueOffsets).push(static_cast<std::int64_t>(value_data.size()));
    column(BatchBuffer::Seq).push(record.seq);
    column(BatchBuffer::State).push(static_cast<std::int8_t>(record.state));
    column(BatchBuffer::FileType).push(static_cast<std::int8_t>(record.file_type));
    column(BatchBuffer::File).push(file_index_);
    column(BatchBuffer::FileNumber).push(file_->number);
    column(BatchBuffer::Offset).push(record.offset);
    // Booleans are bits, the first row in the lowest bit of the first byte.
    ColumnBuffer& compressed = column(BatchBuffer::WasCompressed);
    const auto bit = static_cast<unsigned>(rows_ % 8);
    if (bit == 0) compressed.push<std::uint8_t>(0);
    if (record.was_compressed) compressed.data()[compressed.size() - 1] |= static_cast<std::uint8_t>(1U << bit);
    ++rows_;
    bytes_ += record.key.size() + user_key.size() + record.value.size() + FIXED_ROW_BYTES;
}

std::unique_ptr<Chunk> ArrowBatchBuilder::take() {
    // The file dictionary: the batch's paths as one utf8 array.
    ColumnBuffer& path_offsets = columns_[static_cast<std::size_t>(BatchBuffer::PathOffsets)];
    ColumnBuffer& path_text = columns_[static_cast<std::size_t>(BatchBuffer::PathText)];
    path_offsets.push<std::int32_t>(0);
    for (const std::string& path : files_) {
        path_text.append(path.data(), path.size());
        path_offsets.push(static_cast<std::int32_t>(path_text.size()));
    }
    // The batch takes the buffers; the next one gets fresh buffers of the
    // same capacities, so that it seldom has to grow them.
    ArrowBatch::Buffers next;
    for (std::size_t i = 0; i < BATCH_BUFFER_COUNT; ++i) {
        columns_[i].reserve(1);  // an empty buffer is still a valid pointer
        next[i].reserve(columns_[i].capacity());
    }
    auto batch = std::make_unique<ArrowBatch>(std::move(columns_), rows_, std::move(files_));
    columns_ = std::move(next);
    files_ = {};
    start_batch();
    return batch;
}

}  // namespace tarnwick
