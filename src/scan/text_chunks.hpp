// Chunks of encoded text (JSON Lines, CSV, text), built by the scanner's
// workers through the text encoders.
#pragma once

#include "util/byte_buffer.hpp"
#include "scan/chunk.hpp"
#include "scan/text_encoders.hpp"

namespace tarnwick {

struct TextChunk final : Chunk {
    ByteBuffer text;
};

class TextChunkBuilder final : public ChunkBuilder {
   public:
    TextChunkBuilder(TextFormat format, std::size_t chunk_bytes) noexcept
        : format_(format), chunk_bytes_(chunk_bytes) {}

    void begin_file(const ListedFile& file) override { file_number_ = file.number; }
    void add(const RecordView& record) override { append_text_record(format_, record, file_number_, text_); }
    bool full() const noexcept override { return text_.size() >= chunk_bytes_; }
    bool empty() const noexcept override { return text_.size() == 0; }
    std::unique_ptr<Chunk> take() override {
        auto chunk = std::make_unique<TextChunk>();
        std::swap(chunk->text, text_);
        return chunk;
    }

   private:
    TextFormat format_;
    std::size_t chunk_bytes_;
    std::uint64_t file_number_ = 0;
    ByteBuffer text_;
};

}  // namespace tarnwick
