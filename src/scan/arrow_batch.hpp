// One record batch of a scan, and its export through the Arrow C data
// interface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/arrow_c_abi.hpp"
#include "scan/chunk.hpp"
#include "scan/column_buffer.hpp"
#include "scan/record_schema.hpp"

namespace tarnwick {

// The buffers of a batch.
enum class BatchBuffer : std::size_t {
    KeyOffsets,
    KeyData,
    UserKeyOffsets,
    UserKeyData,
    ValueOffsets,
    ValueData,
    Seq,
    State,
    FileType,
    File,
    FileNumber,
    Offset,
    WasCompressed,
    PathOffsets,  // the `file` dictionary: int32 offsets,
    PathText,     // and the paths' text
};
inline constexpr std::size_t BATCH_BUFFER_COUNT = 15;

// A finished batch: it owns the buffers it was built in.
class ArrowBatch final : public Chunk {
   public:
    using Buffers = std::array<ColumnBuffer, BATCH_BUFFER_COUNT>;

    ArrowBatch(Buffers buffers, std::int64_t rows, std::vector<std::string> files) noexcept
        : buffers_(std::move(buffers)), rows_(rows), files_(std::move(files)) {}

    std::int64_t rows() const noexcept { return rows_; }
    const std::vector<std::string>& files() const noexcept { return files_; }

    template <class T>
    const T* buffer(BatchBuffer which) const noexcept {
        return reinterpret_cast<const T*>(buffers_[static_cast<std::size_t>(which)].data());
    }

    // Moves the batch's memory into `out` (a struct array of the record
    // columns), which the consumer releases; the batch is empty afterwards.
    void export_to(ArrowArray* out);

   private:
    Buffers buffers_;
    std::int64_t rows_;
    std::vector<std::string> files_;
};

// Builds batches of at most `max_rows` rows, and closes a batch once its
// buffers hold `max_bytes` bytes (the record that crosses the bound stays in
// it, so a single record larger than the bound makes a batch of its own).
class ArrowBatchBuilder final : public ChunkBuilder {
   public:
    ArrowBatchBuilder(std::size_t max_rows, std::size_t max_bytes);

    void begin_file(const ListedFile& file) override;
    void add(const RecordView& record) override;
    bool full() const noexcept override { return static_cast<std::size_t>(rows_) >= max_rows_ || bytes_ >= max_bytes_; }
    bool empty() const noexcept override { return rows_ == 0; }
    std::unique_ptr<Chunk> take() override;

    // Bytes a row costs in the fixed-width columns and the three offsets.
    static constexpr std::size_t FIXED_ROW_BYTES = 3 * 8 + 8 + 1 + 1 + 4 + 8 + 8;

   private:
    void start_batch();

    std::size_t max_rows_;
    std::size_t max_bytes_;
    // The batch being built (indexed by BatchBuffer; the path buffers are
    // made when it is taken).
    ArrowBatch::Buffers columns_;
    std::vector<std::string> files_;  // the paths in this batch
    std::int64_t rows_ = 0;
    std::size_t bytes_ = 0;
    // The file whose records come next, and its index in the batch's paths
    // (-1 until its first record enters the batch).
    const ListedFile* file_ = nullptr;
    std::int32_t file_index_ = -1;
};

}  // namespace tarnwick
