#include "db/record.hpp"

#include <cstring>
#include <utility>

namespace tarnwick {

Record::Record(Bytes key, Bytes value, std::uint64_t seq, KeyState state, FileKind file_type,
               SharedPath origin_file, std::uint64_t offset, bool was_compressed)
    : key_size_(key.size()),
      value_size_(value.size()),
      seq_(seq),
      offset_(offset),
      origin_file_(std::move(origin_file)),
      state_(state),
      file_type_(file_type),
      was_compressed_(was_compressed) {
    const std::size_t total = key_size_ + value_size_;
    if (total != 0) {
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(total);
        if (key_size_ != 0) std::memcpy(bytes_.get(), key.data(), key_size_);
        if (value_size_ != 0) std::memcpy(bytes_.get() + key_size_, value.data(), value_size_);
    }
}

Bytes Record::user_key() const noexcept {
    if (file_type_ == FileKind::Table && key_size_ >= 8) return key().first(key_size_ - 8);
    return key();
}

}  // namespace tarnwick
