#include "chromium_store/row_batch.hpp"

#include <atomic>

#include "chromium_store/row_text.hpp"
#include "scan/shared_arrow_array.hpp"

namespace tarnwick::chromium {

namespace {

constexpr std::size_t MAX_BUFFERS = 3;
// Bytes a row costs besides its texts: an offset per variable column, the
// two numbers and the validity bits.
constexpr std::size_t FIXED_ROW_BYTES = ROW_COLUMN_COUNT * 8 + 2 * 8 + ROW_COLUMN_COUNT / 8 + 1;

std::size_t index_of(RowColumn column) noexcept { return static_cast<std::size_t>(column); }

// Everything one exported batch owns, freed with the last array released.
struct BatchStorage {
    RowBatch::Columns owned{};
    ArrowArray columns[ROW_COLUMN_COUNT]{};
    ArrowArray* column_pointers[ROW_COLUMN_COUNT]{};
    const void* buffers[ROW_COLUMN_COUNT + 1][MAX_BUFFERS]{};
    std::atomic<std::size_t> live{0};
};

void fill(ArrowArray& array, BatchStorage* storage, std::size_t slot, std::int64_t length, std::int64_t nulls,
          std::initializer_list<const void*> buffers) {
    fill_shared_array(array, storage, storage->buffers[slot], length, nulls, buffers);
}

}  // namespace

void RowBatch::export_to(ArrowArray* out) {
    auto* storage = new BatchStorage;
    storage->owned = std::move(columns_);
    for (std::size_t i = 0; i < ROW_COLUMN_COUNT; ++i) {
        RowColumnBuffers& column = storage->owned[i];
        // An empty buffer must still be a valid pointer.
        column.validity.reserve(1);
        column.offsets.reserve(1);
        column.data.reserve(1);
        const void* validity = column.nulls == 0 ? nullptr : column.validity.data();
        if (column_shape(static_cast<RowColumn>(i)) == ColumnShape::UInt64) {
            fill(storage->columns[i], storage, i, rows_, 0, {nullptr, column.data.data()});
        } else {
            fill(storage->columns[i], storage, i, rows_, column.nulls,
                 {validity, column.offsets.data(), column.data.data()});
        }
        storage->column_pointers[i] = &storage->columns[i];
    }
    ArrowArray root{};
    fill(root, storage, ROW_COLUMN_COUNT, rows_, 0, {nullptr});
    root.n_children = ROW_COLUMN_COUNT;
    root.children = storage->column_pointers;
    rows_ = 0;
    *out = root;
}

RowBatchSink::RowBatchSink(std::size_t max_rows, std::size_t max_bytes)
    : max_rows_(max_rows == 0 ? 1 : max_rows), max_bytes_(max_bytes) {
    start_batch();
}

void RowBatchSink::start_batch() {
    for (std::size_t i = 0; i < ROW_COLUMN_COUNT; ++i) {
        if (column_shape(static_cast<RowColumn>(i)) != ColumnShape::UInt64) columns_[i].offsets.push<std::int64_t>(0);
    }
    rows_ = 0;
    bytes_ = 0;
}

void RowBatchSink::mark(RowColumn column, bool valid) {
    // Validity bits: the first row in the lowest bit of the first byte.
    RowColumnBuffers& buffers = columns_[index_of(column)];
    const auto bit = static_cast<unsigned>(rows_ % 8);
    if (bit == 0) buffers.validity.push<std::uint8_t>(0);
    if (valid) buffers.validity.data()[buffers.validity.size() - 1] |= static_cast<std::uint8_t>(1U << bit);
    else ++buffers.nulls;
}

void RowBatchSink::put_bytes(RowColumn column, const void* data, std::size_t size) {
    RowColumnBuffers& buffers = columns_[index_of(column)];
    mark(column, true);
    buffers.data.append(data, size);
    buffers.offsets.push(static_cast<std::int64_t>(buffers.data.size()));
    bytes_ += size;
}

void RowBatchSink::put_null(RowColumn column) {
    RowColumnBuffers& buffers = columns_[index_of(column)];
    mark(column, false);
    buffers.offsets.push(static_cast<std::int64_t>(buffers.data.size()));
}

void RowBatchSink::put_name(RowColumn column, std::string_view text) {
    // Fast road: plain UTF-8 not starting with a quote is its own cell.
    if (!text.starts_with('"') && is_utf8(text)) put_text(column, text);
    else put_text(column, name_cell(text));
}

void RowBatchSink::put_name(RowColumn column, const std::optional<std::string>& text) {
    if (text) put_name(column, std::string_view(*text));
    else put_null(column);
}

void RowBatchSink::put_number(RowColumn column, std::uint64_t value) { columns_[index_of(column)].data.push(value); }

void RowBatchSink::add(const RowFacts& facts, const DecodedRow& row) {
    const bool failed = row.error.has_value();
    auto optional_json = [&](RowColumn column, const std::optional<std::string>& json) {
        if (json) put_text(column, *json);
        else put_null(column);
    };
    put_text(RowColumn::StoreKind, facts.store_kind);
    put_name(RowColumn::Origin, row.origin);
    put_name(RowColumn::TopLevelSite, row.top_level_site);
    put_name(RowColumn::Database, row.database);
    put_name(RowColumn::ObjectStore, row.object_store);
    put_name(RowColumn::Index, row.index);
    put_name(RowColumn::RecordType, std::string_view(row.record_type));
    optional_json(RowColumn::Key, row.key_json);
    if (failed && !row.key_json) put_null(RowColumn::KeyType);
    else put_text(RowColumn::KeyType, js_type(row.key_json));
    optional_json(RowColumn::Value, row.value_json);
    if (failed) put_null(RowColumn::ValueType);
    else put_text(RowColumn::ValueType, js_type(row.value_json));
    put_text(RowColumn::State, state_word(facts.state));
    if (row.version_status == VersionStatus::None) put_null(RowColumn::VersionStatus);
    else put_text(RowColumn::VersionStatus, version_status_word(row.version_status));
    put_number(RowColumn::Seq, facts.seq);
    put_name(RowColumn::File, facts.file);
    put_number(RowColumn::Offset, facts.offset);
    put_name(RowColumn::Namespace, row.namespace_id);
    put_name(RowColumn::StorageKey, row.storage_key);
    put_name(RowColumn::StorePath, facts.store_path);
    put_name(RowColumn::Error, row.error);
    if (failed) put_bytes(RowColumn::RawKey, facts.user_key.data(), facts.user_key.size());
    else put_null(RowColumn::RawKey);
    if (failed && !facts.value.empty()) put_bytes(RowColumn::RawValue, facts.value.data(), facts.value.size());
    else put_null(RowColumn::RawValue);
    optional_json(RowColumn::Details, row.details.object());
    ++rows_;
    bytes_ += FIXED_ROW_BYTES;
}

std::unique_ptr<Chunk> RowBatchSink::take() {
    // The batch takes the buffers; the next one gets fresh buffers of the
    // same capacities, so that it seldom has to grow them.
    RowBatch::Columns next;
    for (std::size_t i = 0; i < ROW_COLUMN_COUNT; ++i) {
        next[i].validity.reserve(columns_[i].validity.capacity());
        next[i].offsets.reserve(columns_[i].offsets.capacity());
        next[i].data.reserve(columns_[i].data.capacity());
    }
    auto batch = std::make_unique<RowBatch>(std::move(columns_), rows_);
    columns_ = std::move(next);
    start_batch();
    return batch;
}

}  // namespace tarnwick::chromium
