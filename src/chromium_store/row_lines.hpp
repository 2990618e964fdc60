// Decoded rows as JSON Lines: one object per row, its members in the order
// of the row's columns (row_schema.hpp), keys, values and details embedded as
// JSON, raw bytes of a failed record as lowercase hex.
#pragma once

#include <cstddef>
#include <string>

#include "chromium_store/row_sink.hpp"

namespace tarnwick::chromium {

// Appends one row's line, newline included.
void append_row_line(std::string& out, const RowFacts& facts, const DecodedRow& row);

class RowLinesSink final : public RowSink {
   public:
    explicit RowLinesSink(std::size_t chunk_bytes) noexcept : chunk_bytes_(chunk_bytes) {}
    void add(const RowFacts& facts, const DecodedRow& row) override;
    bool full() const noexcept override { return text_.size() >= chunk_bytes_; }
    bool empty() const noexcept override { return text_.empty(); }
    std::unique_ptr<Chunk> take() override;

   private:
    std::size_t chunk_bytes_;
    std::string text_;
};

}  // namespace tarnwick::chromium
