#include "scan/batch_memory.hpp"

#include <cstdlib>
#include <new>
#include <utility>

namespace tarnwick {

BatchMemory::BatchMemory(std::size_t size) {
    const std::size_t rounded = size == 0 ? ALIGNMENT : (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    data_ = static_cast<std::uint8_t*>(std::aligned_alloc(ALIGNMENT, rounded));
    if (data_ == nullptr) throw std::bad_alloc();
}

BatchMemory::BatchMemory(BatchMemory&& other) noexcept : data_(std::exchange(other.data_, nullptr)) {}

BatchMemory& BatchMemory::operator=(BatchMemory&& other) noexcept {
    std::swap(data_, other.data_);
    return *this;
}

BatchMemory::~BatchMemory() { std::free(data_); }

}  // namespace tarnwick
