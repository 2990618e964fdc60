#include "db/file_pass.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tarnwick {

FilePass::FilePass(const MappedFile& file) noexcept
    : file_(&file), bytes_(file.view()), size_(file.readable_view().size()), guard_(file.view()) {
    if (size_ == 0) return;
    // One question tells a file with holes from one without: where the first
    // hole begins. Systems that know nothing of holes answer with the end.
    const auto first_hole = file.seek_hole(0);
    sparse_ = first_hole && *first_hole < size_;
}

FilePass::FilePass(Bytes bytes) noexcept : file_(nullptr), bytes_(bytes), size_(bytes.size()), guard_(Bytes()) {}

FilePass::~FilePass() {
    if (file_ != nullptr && guard_.pages_replaced()) file_->restore_pages();
}

bool FilePass::intact() const noexcept { return !vanished_ && !guard_.pages_replaced(); }

bool FilePass::still_holds(std::uint64_t offset, std::uint64_t length) noexcept {
    if (!intact()) return false;
    if (file_ == nullptr || length == 0) return true;
    // If the file now ends inside the range's last page, the page after it
    // lies wholly past the end: touching it faults, and the guard notes it.
    // That costs one read of memory where asking the system costs a call.
    // Only for a next page that the file held when the pass began (one past
    // that end faults anyway), and not in a sparse file (it may be a hole).
    static const std::uint64_t page_size = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t next_page = (offset + length - 1) / page_size * page_size + page_size;
    if (!sparse_ && next_page < size_) {
        [[maybe_unused]] const std::uint8_t probe = *static_cast<const volatile std::uint8_t*>(&bytes_[next_page]);
        return intact();
    }
    const auto now = file_->current_length();
    if (!now || *now < offset + length) vanished_ = true;
    return !vanished_;
}

FilePass::Extent FilePass::extent_from(std::uint64_t offset) {
    if (offset >= cached_.begin && offset < cached_.end) return cached_;
    const auto data = file_->seek_data(offset);
    if (!data || *data >= size_) {
        // No data from here on: the rest is a hole -- unless the file has
        // shrunk below it, and then the rest is gone, not zeros.
        const auto now = file_->current_length();
        if (!now || *now < size_) vanished_ = true;
        return {size_, size_};
    }
    const auto hole = file_->seek_hole(*data);
    cached_ = {*data, std::min(hole.value_or(size_), size_)};
    if (cached_.end <= cached_.begin) cached_.end = size_;  // the system contradicts itself: take the rest as data
    return cached_;
}

std::uint64_t FilePass::next_data(std::uint64_t offset) {
    if (!sparse_ || offset >= size_) return offset;
    return std::max(extent_from(offset).begin, offset);
}

std::optional<Bytes> FilePass::read(std::uint64_t offset, std::uint64_t length, ByteBuffer& scratch, bool copy) {
    if (!intact() || offset > size_ || length > size_ - offset) return std::nullopt;
    const auto at = static_cast<std::size_t>(offset);
    const auto count = static_cast<std::size_t>(length);
    if (file_ == nullptr) return bytes_.subspan(at, count);
    if (sparse_ && length != 0) {
        const Extent extent = extent_from(offset);
        if (offset < extent.begin || offset + length > extent.end) return copy_sparse(offset, length, scratch);
    }
    const Bytes view = bytes_.subspan(at, count);
    if (!copy) return view;
    scratch.assign(view);
    if (!still_holds(offset, length)) return std::nullopt;
    return scratch.bytes();
}

std::optional<Bytes> FilePass::copy_sparse(std::uint64_t offset, std::uint64_t length, ByteBuffer& scratch) {
    const std::uint64_t end = offset + length;
    scratch.resize(static_cast<std::size_t>(length));
    std::memset(scratch.data(), 0, scratch.size());
    for (std::uint64_t at = offset; at < end;) {
        const Extent extent = extent_from(at);
        if (extent.begin >= end) break;
        const std::uint64_t from = std::max(at, extent.begin);
        const std::uint64_t to = std::min(extent.end, end);
        std::memcpy(scratch.data() + (from - offset), bytes_.data() + from, static_cast<std::size_t>(to - from));
        at = to;
    }
    if (!still_holds(offset, length)) return std::nullopt;
    return scratch.bytes();
}

}  // namespace tarnwick
