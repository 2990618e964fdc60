// A growable buffer of one column of the batch being built. The builder keeps
// its buffers from batch to batch, so that once they have grown, building
// touches no fresh memory. Large buffers grow through realloc, which the C
// library serves by remapping pages rather than copying them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tarnwick {

class ColumnBuffer {
   public:
    ColumnBuffer() = default;
    ColumnBuffer(ColumnBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ColumnBuffer& operator=(ColumnBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ColumnBuffer(const ColumnBuffer&) = delete;
    ColumnBuffer& operator=(const ColumnBuffer&) = delete;
    ~ColumnBuffer() { std::free(data_); }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Empties the buffer and keeps its memory, for the next batch.
    void clear() noexcept { size_ = 0; }

    void append(const void* bytes, std::size_t n) {
        if (n == 0) return;
        if (n > capacity_ - size_) grow(size_ + n);
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }

    template <class T>
    void push(T value) {
        if (sizeof(T) > capacity_ - size_) grow(size_ + sizeof(T));
        std::memcpy(data_ + size_, &value, sizeof(T));
        size_ += sizeof(T);
    }

   private:
    static constexpr std::size_t MIN_CAPACITY = 256;

    void grow(std::size_t needed) {
        std::size_t capacity = capacity_ < MIN_CAPACITY ? MIN_CAPACITY : capacity_ * 2;
        if (capacity < needed) capacity = needed;
        void* bigger = std::realloc(data_, capacity);
        if (bigger == nullptr) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(bigger);
        capacity_ = capacity;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tarnwick
