// The memory of one finished batch: a single allocation holding all its
// buffers, so that a batch costs one allocation and one release however many
// columns it has.
//
// (Mapping large batches on transparent huge pages, to save page faults when a
// consumer keeps every batch, was measured on the 2-core benchmark machine:
// the kernel's work to find huge pages cost more system time than the faults
// it saved, so plain allocations it is.)
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

class BatchMemory {
   public:
    BatchMemory() = default;
    explicit BatchMemory(std::size_t size);  // throws std::bad_alloc
    BatchMemory(BatchMemory&& other) noexcept;
    BatchMemory& operator=(BatchMemory&& other) noexcept;
    BatchMemory(const BatchMemory&) = delete;
    BatchMemory& operator=(const BatchMemory&) = delete;
    ~BatchMemory();

    std::uint8_t* data() const noexcept { return data_; }

    // Arrow asks for buffers aligned to 8 bytes and recommends 64.
    static constexpr std::size_t ALIGNMENT = 64;

   private:
    std::uint8_t* data_ = nullptr;
};

}  // namespace tarnwick
