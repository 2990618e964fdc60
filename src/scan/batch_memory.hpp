// The memory of one finished batch: a single region holding all its buffers.
//
// Batches handed to a consumer that keeps them all (pa.table) make fresh
// memory, and on virtual machines the first touch of each 4 KiB page is
// costly. A region of 2 MiB or more is therefore mapped on its own, aligned to
// 2 MiB and marked for transparent huge pages where the system offers them, so
// that one fault serves 512 pages; smaller regions come from malloc.
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
    std::size_t size() const noexcept { return size_; }

    static constexpr std::size_t HUGE_PAGE = 2 << 20;

   private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace tarnwick
