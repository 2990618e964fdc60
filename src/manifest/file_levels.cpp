#include "manifest/file_levels.hpp"

#include <algorithm>

namespace tarnwick {

namespace {

// Every addition but the last of a record takes at least 4 bytes: its tag,
// level, number and size are varints of at least one byte each, and a varint
// can only fail to read where the record runs out, which ends the record. The
// last one takes at least 1 byte, and each record at least a 7-byte header.
constexpr std::uint64_t kFewestBytesPerAddition = 4;

}  // namespace

FileLevelGatherer::FileLevelGatherer(std::uint64_t manifest_size) noexcept : manifest_size_(manifest_size) {
    const std::uint64_t most_additions = manifest_size / kFewestBytesPerAddition + 1;
    try {
        added_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(most_additions, added_.max_size())));
    } catch (...) {
        // No room to reserve: the array grows as additions come, copying itself.
    }
}

void FileLevelGatherer::add(std::uint64_t number, std::uint64_t level) noexcept {
    if (out_of_memory_) return;
    try {
        added_.emplace_back(number, level);
    } catch (...) {
        out_of_memory_ = true;
    }
}

std::vector<FileLevel> FileLevelGatherer::finish() && noexcept {
    // Stable, so that additions of one number stay in edit order. The sort
    // borrows a buffer of half the array when it can get one and sorts in
    // place, more slowly, when it cannot.
    std::stable_sort(added_.begin(), added_.end(),
                     [](const FileLevel& a, const FileLevel& b) { return a.number() < b.number(); });
    // Of each run of one number, keep the last.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < added_.size(); ++i) {
        if (i + 1 < added_.size() && added_[i + 1].number() == added_[i].number()) continue;
        added_[kept++] = added_[i];
    }
    added_.erase(added_.begin() + static_cast<std::ptrdiff_t>(kept), added_.end());
    // Give back the reserve by copying what is kept, when the copy is small
    // beside the manifest: for a manifest of nothing but distinct additions it
    // would hold the array twice at once, and the reserve it gives back was
    // never written anyway. Without memory for the copy nothing changes.
    if (kept * sizeof(FileLevel) <= manifest_size_ / 2) added_.shrink_to_fit();
    return std::move(added_);
}

}  // namespace tarnwick
