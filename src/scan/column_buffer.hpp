// A growable buffer of one column of a batch, allocated with malloc; a
// finished batch owns its buffers until its consumer releases them. Large
// buffers grow through realloc, which the C library serves by remapping pages
// rather than copying them, and the builder reserves for each batch what the
// previous one needed, so that growing is rare.
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

    // Makes room for `n` bytes in all. Pages the buffer does not write are
    // never touched, so reserving what the last batch needed costs nothing
    // where the next batch needs less.
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    std::size_t capacity() const noexcept { return capacity_; }

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
    // Arrow asks for buffers aligned to 8 bytes; malloc gives 16.
    static constexpr std::size_t ALIGNMENT = 64;

    void grow(std::size_t needed) {
        std::size_t capacity = capacity_ < MIN_CAPACITY ? MIN_CAPACITY : capacity_ * 2;
        if (capacity < needed) capacity = needed;
        capacity = (capacity + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
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
