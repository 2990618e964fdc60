// What a pass over one file could not decode, told to whoever keeps a report
// of it. The readers call it only when one is given; a pass without one costs
// nothing more.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwick {

class PassObserver {
   public:
    virtual ~PassObserver() = default;

    // A table's data block, contents and trailer at [offset, offset + size),
    // gave its entries.
    virtual void block_read(std::uint64_t /*offset*/, std::uint64_t /*size*/) {}
    // A table's data block, contents and trailer at [offset, offset + size),
    // that the index does not list (or that was read without the index) was
    // found by its checksum and gave its entries.
    virtual void block_carved(std::uint64_t /*offset*/, std::uint64_t /*size*/) {}
    // A table's data block listed by the index gave nothing, for `reason`.
    virtual void block_skipped(std::uint64_t /*offset*/, std::uint64_t /*size*/, std::string_view /*reason*/) {}
    // The bytes [begin, end) of a log gave no record, for `reason`.
    virtual void bytes_skipped(std::uint64_t /*begin*/, std::uint64_t /*end*/, std::string_view /*reason*/) {}
    // The pass ended early: nothing at or after `offset` was decoded.
    virtual void stopped(std::uint64_t /*offset*/, std::string_view /*reason*/) {}
};

// The reason a pass gives when the file shrank under it.
inline constexpr std::string_view kFileShrankReason = "the file shrank while it was read";

}  // namespace tarnwick
