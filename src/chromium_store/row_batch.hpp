// Decoded rows as Arrow record batches (the columns of row_schema.hpp), and
// their export through the Arrow C data interface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "chromium_store/row_schema.hpp"
#include "chromium_store/row_sink.hpp"
#include "scan/column_buffer.hpp"

namespace tarnwick::chromium {

// One column's buffers: validity bits (one per row, set where not null),
// then int64 offsets and data for text and binary, or the values.
struct RowColumnBuffers {
    ColumnBuffer validity;
    ColumnBuffer offsets;
    ColumnBuffer data;
    std::int64_t nulls = 0;
};

class RowBatch final : public Chunk {
   public:
    using Columns = std::array<RowColumnBuffers, ROW_COLUMN_COUNT>;
    RowBatch(Columns columns, std::int64_t rows) noexcept : columns_(std::move(columns)), rows_(rows) {}

    [[nodiscard]] std::int64_t rows() const noexcept { return rows_; }
    // Moves the batch's memory into `out` (a struct array of the row
    // columns), which the consumer releases; the batch is empty afterwards.
    void export_to(ArrowArray* out);

   private:
    Columns columns_;
    std::int64_t rows_;
};

// Builds batches of at most `max_rows` rows, closed once their buffers hold
// `max_bytes` bytes (the row that crosses the bound stays in it).
class RowBatchSink final : public RowSink {
   public:
    RowBatchSink(std::size_t max_rows, std::size_t max_bytes);
    void add(const RowFacts& facts, const DecodedRow& row) override;
    bool full() const noexcept override { return static_cast<std::size_t>(rows_) >= max_rows_ || bytes_ >= max_bytes_; }
    bool empty() const noexcept override { return rows_ == 0; }
    std::unique_ptr<Chunk> take() override;

   private:
    void start_batch();
    void mark(RowColumn column, bool valid);
    void put_bytes(RowColumn column, const void* data, std::size_t size);
    void put_text(RowColumn column, std::string_view text) { put_bytes(column, text.data(), text.size()); }
    void put_name(RowColumn column, std::string_view text);
    void put_name(RowColumn column, const std::optional<std::string>& text);
    void put_null(RowColumn column);
    void put_number(RowColumn column, std::uint64_t value);

    std::size_t max_rows_;
    std::size_t max_bytes_;
    RowBatch::Columns columns_;
    std::int64_t rows_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace tarnwick::chromium
