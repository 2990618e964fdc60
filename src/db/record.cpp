#include "db/record.hpp"

#include <cstring>

namespace tarnwick {

Record::Record(const RecordView& view)
    : key_size_(view.key.size()),
      value_size_(view.value.size()),
      seq_(view.seq),
      offset_(view.offset),
      origin_file_(view.origin_file),
      state_(view.state),
      file_type_(view.file_type),
      was_compressed_(view.was_compressed) {
    const std::size_t total = key_size_ + value_size_;
    if (total != 0) {
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(total);
        if (key_size_ != 0) std::memcpy(bytes_.get(), view.key.data(), key_size_);
        if (value_size_ != 0) std::memcpy(bytes_.get() + key_size_, view.value.data(), value_size_);
    }
}

}  // namespace tarnwick
