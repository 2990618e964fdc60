#include "scan/arrow_batch.hpp"

#include <atomic>

namespace tarnwick {

namespace {

// Arrays per batch: the struct, its columns, and the three dictionaries.
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
    ArrowArray columns[COLUMN_COUNT]{};
    ArrowArray* column_pointers[COLUMN_COUNT]{};
    ArrowArray dictionaries[COLUMN_COUNT]{};
    const void* buffers[1 + 2 * COLUMN_COUNT][MAX_BUFFERS]{};
    std::vector<void*> owned;  // malloc'd buffers
    std::atomic<std::size_t> live{0};

    ~BatchStorage() {
        for (void* p : owned) std::free(p);
    }
};

void release_array(ArrowArray* array) {
    auto* storage = static_cast<BatchStorage*>(array->private_data);
    if (array->dictionary != nullptr && array->dictionary->release != nullptr) {
        array->dictionary->release(array->dictionary);
    }
    for (std::int64_t i = 0; i < array->n_children; ++i) {
        if (array->children[i]->release != nullptr) array->children[i]->release(array->children[i]);
    }
    array->release = nullptr;
    if (storage->live.fetch_sub(1, std::memory_order_acq_rel) == 1) delete storage;
}

class Exporter {
   public:
    explicit Exporter(BatchStorage* storage) : storage_(storage) {}

    const void* own(ColumnBuffer& buffer) {
        void* p = buffer.release();
        storage_->owned.push_back(p);
        return p;
    }

    void fill(ArrowArray& array, std::int64_t length, std::initializer_list<const void*> buffers) {
        const void** slots = storage_->buffers[next_slot_++];
        std::size_t n = 0;
        for (const void* b : buffers) slots[n++] = b;
        array.length = length;
        array.null_count = 0;
        array.offset = 0;
        array.n_buffers = static_cast<std::int64_t>(n);
        array.n_children = 0;
        array.children = nullptr;
        array.dictionary = nullptr;
        array.buffers = slots;
        array.release = release_array;
        array.private_data = storage_;
        storage_->live.fetch_add(1, std::memory_order_relaxed);
    }

   private:
    BatchStorage* storage_;
    std::size_t next_slot_ = 0;
};

}  // namespace

void ArrowBatch::export_to(ArrowArray* out) {
    auto* storage = new BatchStorage;
    Exporter exporter(storage);
    BatchColumns& c = columns_;
    const std::int64_t rows = c.rows;

    // The file dictionary: the batch's paths as one utf8 array.
    ColumnBuffer path_offsets, path_text;
    path_offsets.push<std::int32_t>(0);
    for (const std::string& path : c.files) {
        path_text.append(path.data(), path.size());
        path_offsets.push(static_cast<std::int32_t>(path_text.size()));
    }

    auto binary = [&](Column column, ColumnBuffer& offsets, ColumnBuffer& data) {
        const void* o = exporter.own(offsets);
        const void* d = exporter.own(data);
        exporter.fill(storage->columns[static_cast<std::size_t>(column)], rows, {nullptr, o, d});
    };
    auto fixed = [&](Column column, ColumnBuffer& values) {
        exporter.fill(storage->columns[static_cast<std::size_t>(column)], rows, {nullptr, exporter.own(values)});
    };
    binary(Column::Key, c.key_offsets, c.key_data);
    binary(Column::UserKey, c.user_key_offsets, c.user_key_data);
    binary(Column::Value, c.value_offsets, c.value_data);
    fixed(Column::Seq, c.seq);
    fixed(Column::State, c.state);
    fixed(Column::FileType, c.file_type);
    fixed(Column::File, c.file);
    fixed(Column::FileNumber, c.file_number);
    fixed(Column::Offset, c.offset);
    fixed(Column::WasCompressed, c.was_compressed);

    exporter.fill(storage->dictionaries[STATE], STATE_WORDS.size(), {nullptr, STATE_LIST.offsets, STATE_LIST.text});
    exporter.fill(storage->dictionaries[FILE_TYPE], FILE_TYPE_WORDS.size(),
                  {nullptr, FILE_TYPE_LIST.offsets, FILE_TYPE_LIST.text});
    const void* po = exporter.own(path_offsets);
    const void* pt = exporter.own(path_text);
    exporter.fill(storage->dictionaries[FILE], static_cast<std::int64_t>(c.files.size()), {nullptr, po, pt});
    for (std::size_t i : {STATE, FILE_TYPE, FILE}) storage->columns[i].dictionary = &storage->dictionaries[i];

    for (std::size_t i = 0; i < COLUMN_COUNT; ++i) storage->column_pointers[i] = &storage->columns[i];
    ArrowArray root{};
    exporter.fill(root, rows, {nullptr});
    root.n_children = COLUMN_COUNT;
    root.children = storage->column_pointers;
    *out = root;
    c = BatchColumns{};
}

ArrowBatchBuilder::ArrowBatchBuilder(std::size_t max_rows, std::size_t max_bytes)
    : max_rows_(max_rows == 0 ? 1 : max_rows), max_bytes_(max_bytes) {
    start_batch();
}

void ArrowBatchBuilder::start_batch() {
    columns_ = BatchColumns{};
    columns_.key_offsets.push<std::int64_t>(0);
    columns_.user_key_offsets.push<std::int64_t>(0);
    columns_.value_offsets.push<std::int64_t>(0);
    bytes_ = 0;
    file_index_ = -1;
}

void ArrowBatchBuilder::begin_file(const ListedFile& file) {
    file_ = &file;
    file_index_ = -1;
}

void ArrowBatchBuilder::add(const RecordView& record) {
    BatchColumns& c = columns_;
    if (file_index_ < 0) {
        file_index_ = static_cast<std::int32_t>(c.files.size());
        c.files.push_back(file_->display_path);
    }
    const Bytes user_key = record.user_key();
    c.key_data.append(record.key.data(), record.key.size());
    c.key_offsets.push(static_cast<std::int64_t>(c.key_data.size()));
    c.user_key_data.append(user_key.data(), user_key.size());
    c.user_key_offsets.push(static_cast<std::int64_t>(c.user_key_data.size()));
    c.value_data.append(record.value.data(), record.value.size());
    c.value_offsets.push(static_cast<std::int64_t>(c.value_data.size()));
    c.seq.push(record.seq);
    c.state.push(static_cast<std::int8_t>(record.state));
    c.file_type.push(static_cast<std::int8_t>(record.file_type));
    c.file.push(file_index_);
    c.file_number.push(file_->number);
    c.offset.push(record.offset);
    // Booleans are bits, the first row in the lowest bit of the first byte.
    const auto bit = static_cast<unsigned>(c.rows % 8);
    if (bit == 0) c.was_compressed.push<std::uint8_t>(0);
    if (record.was_compressed) c.was_compressed.data()[c.was_compressed.size() - 1] |= static_cast<std::uint8_t>(1U << bit);
    ++c.rows;
    bytes_ += record.key.size() + user_key.size() + record.value.size() + FIXED_ROW_BYTES;
}

std::unique_ptr<Chunk> ArrowBatchBuilder::take() {
    auto batch = std::make_unique<ArrowBatch>(std::move(columns_));
    start_batch();
    return batch;
}

}  // namespace tarnwick
