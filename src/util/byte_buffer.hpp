// A growable byte buffer whose new bytes are left uninitialised: it is always
// filled right after it grows (a decompressed block, a reassembled log
// record), so zeroing it first would only cost time.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "util/bytes.hpp"

namespace tarnwick {

class ByteBuffer {
   public:
    std::uint8_t* data() noexcept { return data_.get(); }
    const std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    Bytes bytes() const noexcept { return {data_.get(), size_}; }

    void clear() noexcept { size_ = 0; }

    // Sets the size to n; existing bytes are kept up to n, new ones are garbage.
    void resize(std::size_t n) {
        reserve(n);
        size_ = n;
    }

    void append(Bytes more) {
        if (more.empty()) return;
        const std::size_t old = size_;
        if (more.size() > capacity_ - old) reserve(grown_capacity(old + more.size()));
        std::memcpy(data_.get() + old, more.data(), more.size());
        size_ = old + more.size();
    }

    void assign(Bytes bytes) {
        clear();
        append(bytes);
    }

   private:
    std::size_t grown_capacity(std::size_t needed) const noexcept {
        const std::size_t doubled = capacity_ * 2;
        return doubled > needed ? doubled : needed;
    }

    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(n);
        if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = n;
    }

    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tarnwick
