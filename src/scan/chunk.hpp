// What the scanner's workers make of records: chunks (Arrow record batches,
// or lines of text), built by a ChunkBuilder per worker and handed to the
// consumer in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "db/record.hpp"
#include "store/store_listing.hpp"

namespace tarnwick {

class Chunk {
   public:
    virtual ~Chunk() = default;
};

class ChunkBuilder {
   public:
    virtual ~ChunkBuilder() = default;

    // The records that follow come from `file`.
    virtual void begin_file(const ListedFile& file) = 0;
    virtual void add(const RecordView& record) = 0;
    // Holds enough to be handed on (its row or byte bound is reached).
    [[nodiscard]] virtual bool full() const noexcept = 0;
    [[nodiscard]] virtual bool empty() const noexcept = 0;
    // What was built so far; the builder starts a new chunk.
    [[nodiscard]] virtual std::unique_ptr<Chunk> take() = 0;
};

using ChunkBuilderFactory = std::function<std::unique_ptr<ChunkBuilder>()>;

// A builder that keeps nothing: for a scan that only reports.
class DiscardingBuilder final : public ChunkBuilder {
   public:
    void begin_file(const ListedFile&) override {}
    void add(const RecordView&) override {}
    bool full() const noexcept override { return false; }
    bool empty() const noexcept override { return true; }
    std::unique_ptr<Chunk> take() override { return nullptr; }
};

}  // namespace tarnwick
