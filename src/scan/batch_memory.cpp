#include "scan/batch_memory.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace tarnwick {

namespace {

// Arrow asks for buffers aligned to 8 bytes and recommends 64.
constexpr std::size_t ALIGNMENT = 64;

}  // namespace

BatchMemory::BatchMemory(std::size_t size) : size_(size) {
    if (size >= HUGE_PAGE) {
        // Map one huge page more than needed and give back what lies before
        // the first 2 MiB boundary and after the end.
        const std::size_t span = size + HUGE_PAGE;
        void* base = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base != MAP_FAILED) {
            const auto start = reinterpret_cast<std::uintptr_t>(base);
            const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(std::uintptr_t{HUGE_PAGE} - 1);
            if (aligned > start) ::munmap(base, aligned - start);
            const std::uintptr_t end = aligned + size;
            const std::uintptr_t page_end = (end + 4095) & ~std::uintptr_t{4095};
            if (start + span > page_end) ::munmap(reinterpret_cast<void*>(page_end), start + span - page_end);
            data_ = reinterpret_cast<std::uint8_t*>(aligned);
            size_ = page_end - aligned;
#ifdef MADV_HUGEPAGE
            ::madvise(data_, size_, MADV_HUGEPAGE);
#endif
            mapped_ = true;
            return;
        }
    }
    const std::size_t rounded = (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    data_ = static_cast<std::uint8_t*>(std::aligned_alloc(ALIGNMENT, rounded == 0 ? ALIGNMENT : rounded));
    if (data_ == nullptr) throw std::bad_alloc();
}

BatchMemory::BatchMemory(BatchMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

BatchMemory& BatchMemory::operator=(BatchMemory&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

BatchMemory::~BatchMemory() { release(); }

void BatchMemory::release() noexcept {
    if (data_ == nullptr) return;
    if (mapped_) {
        ::munmap(data_, size_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
}

}  // namespace tarnwick
