// Where the decoded rows of a scan go: a builder of chunks (Arrow record
// batches, or JSON Lines text) that the scan hands to its consumer in order.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "chromium_store/decoded_row.hpp"
#include "db/record.hpp"
#include "scan/chunk.hpp"

namespace tarnwick::chromium {

// What a row says of its record beyond its meaning: where and what it is.
struct RowFacts {
    std::string_view store_kind;
    std::string_view store_path;
    std::string_view file;
    KeyState state;
    std::uint64_t seq;
    std::uint64_t offset;
    // The raw bytes, written only where decoding failed.
    Bytes user_key;
    Bytes value;
};

class RowSink {
   public:
    virtual ~RowSink() = default;
    virtual void add(const RowFacts& facts, const DecodedRow& row) = 0;
    // Holds enough to be handed on (its row or byte bound is reached).
    [[nodiscard]] virtual bool full() const noexcept = 0;
    [[nodiscard]] virtual bool empty() const noexcept = 0;
    // What was built so far; the sink starts a new chunk.
    [[nodiscard]] virtual std::unique_ptr<Chunk> take() = 0;
};

}  // namespace tarnwick::chromium
