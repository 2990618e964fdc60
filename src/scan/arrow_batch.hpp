// One record batch of a scan, built column by column, and its export through
// the Arrow C data interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/arrow_c_abi.hpp"
#include "scan/chunk.hpp"
#include "scan/column_buffer.hpp"
#include "scan/record_schema.hpp"

namespace tarnwick {

// The column buffers of one batch.
struct BatchColumns {
    ColumnBuffer key_offsets, key_data;
    ColumnBuffer user_key_offsets, user_key_data;
    ColumnBuffer value_offsets, value_data;
    ColumnBuffer seq, state, file_type, file, file_number, offset, was_compressed;
    std::vector<std::string> files;  // the `file` dictionary: the paths in this batch
    std::int64_t rows = 0;
};

class ArrowBatch final : public Chunk {
   public:
    explicit ArrowBatch(BatchColumns columns) noexcept : columns_(std::move(columns)) {}

    std::int64_t rows() const noexcept { return columns_.rows; }
    const BatchColumns& columns() const noexcept { return columns_; }

    // Moves the batch's memory into `out` (a struct array of the record
    // columns), which the consumer releases; the batch is empty afterwards.
    void export_to(ArrowArray* out);

   private:
    BatchColumns columns_;
};

// Builds batches of at most `max_rows` rows, and closes a batch once its
// buffers hold `max_bytes` bytes (the record that crosses the bound stays in
// it, so a single record larger than the bound makes a batch of its own).
class ArrowBatchBuilder final : public ChunkBuilder {
   public:
    ArrowBatchBuilder(std::size_t max_rows, std::size_t max_bytes);

    void begin_file(const ListedFile& file) override;
    void add(const RecordView& record) override;
    bool full() const noexcept override {
        return static_cast<std::size_t>(columns_.rows) >= max_rows_ || bytes_ >= max_bytes_;
    }
    bool empty() const noexcept override { return columns_.rows == 0; }
    std::unique_ptr<Chunk> take() override;

    // Bytes a row costs in the fixed-width columns and the three offsets.
    static constexpr std::size_t FIXED_ROW_BYTES = 3 * 8 + 8 + 1 + 1 + 4 + 8 + 8;

   private:
    void start_batch();

    std::size_t max_rows_;
    std::size_t max_bytes_;
    BatchColumns columns_;
    std::size_t bytes_ = 0;
    // The file whose records come next, and its index in the batch's dictionary
    // (-1 until its first record enters the batch).
    const ListedFile* file_ = nullptr;
    std::int32_t file_index_ = -1;
};

}  // namespace tarnwick
