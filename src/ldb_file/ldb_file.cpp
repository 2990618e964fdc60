#include "ldb_file/ldb_file.hpp"

#include <fcntl.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

#include "db/data_file_name.hpp"
#include "util/crc32c.hpp"

namespace tarnwick {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

// The sequence number and state that a stored key's 8-byte trailer gives: the
// upper 56 bits are the sequence number, the low byte the value type (0 for a
// deletion). A key of 8 bytes or fewer has no user key to speak of.
struct SeqAndState {
    std::uint64_t seq;
    KeyState state;
};

SeqAndState seq_and_state(Bytes key) noexcept {
    if (key.size() < INTERNAL_KEY_TRAILER_SIZE) return {0, KeyState::Unknown};
    const std::uint64_t trailer = read_fixed64(key, key.size() - INTERNAL_KEY_TRAILER_SIZE);
    const std::uint64_t seq = trailer >> SEQUENCE_SHIFT;
    if (key.size() == INTERNAL_KEY_TRAILER_SIZE) return {seq, KeyState::Unknown};
    return {seq, (trailer & TYPE_MASK) == TYPE_DELETION ? KeyState::Deleted : KeyState::Live};
}

// The handles of the blocks tried so far in a pass, so that an exact repeat
// is skipped. Sound tables list their blocks in file order, each after all the
// others, which costs one comparison; only a handle that starts before the
// furthest block seen is looked up. A tree, not a hash: no choice of handles
// in a crafted index can make the lookups slow.
class TriedHandles {
   public:
    // True when `handle` was tried before; otherwise it is noted.
    bool repeat(const BlockHandle& handle, std::uint64_t end) {
        const std::pair key{handle.offset, handle.size};
        if (handle.offset >= furthest_end_) {
            tried_.emplace_hint(tried_.end(), key);
            furthest_end_ = end;
            return false;
        }
        return !tried_.insert(key).second;
    }

   private:
    std::set<std::pair<std::uint64_t, std::uint64_t>> tried_;
    std::uint64_t furthest_end_ = 0;
};

}  // namespace

std::string LdbError::message() const {
    return std::visit(
        Overloaded{
            [](const Io& e) { return "IO error: " + e.error.message(); },
            [](const InvalidMagic& e) { return "Invalid magic number in " + e.path; },
            [](const InvalidBlock& e) { return "Invalid block: " + e.message; },
            [](const BadBlock& e) { return "Invalid block: " + e.error.message(); },
            [](const Snappy& e) { return "Snappy decompression error: " + e.error.message(); },
            [](const FileTooSmall&) { return std::string("File too small to contain a valid footer"); },
            [](const FileShrank&) { return std::string(kFileShrankReason); },
        },
        kind);
}

std::expected<LdbFile, LdbError> LdbFile::open(const std::string& path) {
    return open_at(AT_FDCWD, path, path, file_number_of(path));
}

std::expected<LdbFile, LdbError> LdbFile::open_at(int dir_fd, const std::string& name,
                                                  const std::string& display_path, std::uint64_t number,
                                                  OpenAs as) {
    auto mapped = MappedFile::open_at(dir_fd, name, as);
    if (!mapped) return std::unexpected(LdbError{std::move(mapped.error())});
    LdbFile file(std::move(*mapped), SharedPath(display_path), number);
    if (file.mapped_.length() < FOOTER_SIZE) return file;
    if (auto mapping = file.mapped_.map(); !mapping) {
        return std::unexpected(LdbError{std::move(mapping.error())});
    }

    FilePass pass(file.mapped_);
    if (pass.size() < FOOTER_SIZE) return file;  // cut short since it was measured: nothing to read
    ByteBuffer raw;
    const auto footer_bytes = pass.read(pass.size() - FOOTER_SIZE, FOOTER_SIZE, raw, /*copy=*/true);
    if (!footer_bytes) return std::unexpected(LdbError{LdbError::FileShrank{}});
    ByteCursor footer(*footer_bytes);
    const auto metaindex_handle = read_block_handle(footer);
    if (!metaindex_handle) {
        return std::unexpected(LdbError{LdbError::InvalidBlock{"Failed to read meta index handle"}});
    }
    const auto index_handle = read_block_handle(footer);
    if (!index_handle) {
        return std::unexpected(LdbError{LdbError::InvalidBlock{"Failed to read index handle"}});
    }
    if (read_fixed64(*footer_bytes, FOOTER_SIZE - TABLE_MAGIC_SIZE) != TABLE_MAGIC) {
        return std::unexpected(LdbError{LdbError::InvalidMagic{display_path}});
    }
    file.metaindex_handle_ = *metaindex_handle;
    file.index_handle_ = *index_handle;

    ByteBuffer scratch;
    auto index_block = file.read_block_in(pass, *index_handle, raw, scratch);
    if (!index_block) return std::unexpected(std::move(index_block.error()));
    index_block->for_each_entry([&](std::uint64_t, Bytes, Bytes value) {
        if (const auto handle = decode_block_handle(value)) file.index_.push_back({*handle});
    });
    return file;
}

std::expected<LdbFile, LdbError> LdbFile::open_unindexed(const std::string& path) {
    return open_unindexed_at(AT_FDCWD, path, path, file_number_of(path));
}

std::expected<LdbFile, LdbError> LdbFile::open_unindexed_at(int dir_fd, const std::string& name,
                                                            const std::string& display_path, std::uint64_t number,
                                                            OpenAs as) {
    auto mapped = MappedFile::open_at(dir_fd, name, as);
    if (!mapped) return std::unexpected(LdbError{std::move(mapped.error())});
    LdbFile file(std::move(*mapped), SharedPath(display_path), number);
    file.indexed_ = false;
    if (file.mapped_.length() == 0) return file;
    if (auto mapping = file.mapped_.map(); !mapping) {
        return std::unexpected(LdbError{std::move(mapping.error())});
    }
    return file;
}

std::expected<Block, LdbError> LdbFile::read_block_in(FilePass& pass, const BlockHandle& handle, ByteBuffer& raw,
                                                      ByteBuffer& scratch) const {
    if (!mapped_.is_mapped()) return std::unexpected(LdbError{LdbError::FileTooSmall{}});
    // offset + size + 5 <= length, written so that it cannot wrap around.
    const std::uint64_t length = pass.size();
    if (handle.offset > length || handle.size > length - handle.offset ||
        BLOCK_TRAILER_SIZE > length - handle.offset - handle.size) {
        return std::unexpected(LdbError{LdbError::InvalidBlock{
            "Block extends past end of file at offset " + std::to_string(handle.offset) + " in " + *path_}});
    }
    // The compression type is the trailer's first byte, right after the
    // contents. An uncompressed block is decoded from a copy, so that a page
    // vanishing under it cannot put zeros into its entries; a compressed one
    // is decompressed from where it lies and checked afterwards.
    const std::size_t size = static_cast<std::size_t>(handle.size);
    const auto type_byte = pass.read(handle.offset + handle.size, 1, raw, /*copy=*/true);
    if (!type_byte) return std::unexpected(LdbError{LdbError::FileShrank{}});
    const bool compressed = (*type_byte)[0] != 0;
    const auto contents = pass.read(handle.offset, handle.size, raw, /*copy=*/!compressed);
    if (!contents) return std::unexpected(LdbError{LdbError::FileShrank{}});

    if (compressed) {
        // Any non-zero type is taken for Snappy; other codecs fail there.
        auto done = decompress_snappy(contents->first(size), scratch);
        if (!pass.still_holds(handle.offset, handle.size)) return std::unexpected(LdbError{LdbError::FileShrank{}});
        if (!done) return std::unexpected(LdbError{std::move(done.error())});
    }
    auto block = Block::make(compressed ? scratch.bytes() : contents->first(size), handle.offset, compressed);
    if (!block) return std::unexpected(LdbError{block.error()});
    return std::move(*block);
}

std::expected<Block, LdbError> LdbFile::read_block(const BlockHandle& handle) const {
    ByteBuffer raw;
    ByteBuffer scratch;
    FilePass pass(mapped_);
    auto block = read_block_in(pass, handle, raw, scratch);
    if (!block) return block;
    // The returned block owns its bytes.
    ByteBuffer owned;
    owned.assign(block->data());
    auto result = Block::make(std::move(owned), block->offset(), block->compressed());
    if (!result) return std::unexpected(LdbError{result.error()});
    return std::move(*result);
}

void LdbFile::read_records(RecordSink sink, PassObserver* observer) const {
    if (!mapped_.is_mapped()) return;
    FilePass pass(mapped_);
    ByteBuffer raw;
    ByteBuffer scratch;
    TriedHandles tried;
    const std::uint64_t budget = kDecodeBudgetFactor * mapped_.length();
    std::uint64_t spent = 0;
    for (const IndexEntry& entry : index_) {
        const std::uint64_t begin = entry.handle.offset;
        const std::uint64_t size = entry.handle.size;
        if (begin > UINT64_MAX - BLOCK_TRAILER_SIZE || size > UINT64_MAX - BLOCK_TRAILER_SIZE - begin) {
            if (observer != nullptr) observer->block_skipped(begin, size, "a handle that cannot lie in any file");
            continue;
        }
        const std::uint64_t on_disk = size + BLOCK_TRAILER_SIZE;
        // Checked before reading, so that a repeated handle costs no decompression.
        if (tried.repeat(entry.handle, begin + on_disk)) {
            if (observer != nullptr) observer->block_skipped(begin, on_disk, "a repeat of a block already read");
            continue;
        }
        // Only blocks that lie within the file cost anything to try.
        if (begin <= pass.size() && on_disk <= pass.size() - begin) {
            if (spent >= budget) {
                if (observer != nullptr) {
                    observer->stopped(begin, "the index lists more block bytes than the file could hold");
                }
                return;
            }
            spent += on_disk;
        }
        auto block = read_block_in(pass, entry.handle, raw, scratch);
        if (!block) {
            if (std::holds_alternative<LdbError::FileShrank>(block.error().kind)) {
                if (observer != nullptr) observer->stopped(begin, kFileShrankReason);
                return;
            }
            if (observer != nullptr) observer->block_skipped(begin, on_disk, block.error().message());
            continue;
        }
        if (observer != nullptr) observer->block_read(begin, on_disk);
        emit_entries(*block, sink);
    }
}

void LdbFile::emit_entries(const Block& block, RecordSink sink) const {
    const bool compressed = block.compressed();
    const std::uint64_t begin = block.offset();
    block.for_each_entry([&](std::uint64_t entry_offset, Bytes key, Bytes value) {
        const auto [seq, state] = seq_and_state(key);
        sink(RecordView{key, value, seq, state, FileKind::Table, path_, compressed ? begin : begin + entry_offset,
                        compressed});
    });
}

bool LdbFile::index_leaves_gaps() const {
    if (!indexed_ || !mapped_.is_mapped()) return false;
    std::vector<BlockHandle> listed;
    listed.reserve(index_.size());
    for (const IndexEntry& entry : index_) listed.push_back(entry.handle);
    std::sort(listed.begin(), listed.end(),
              [](const BlockHandle& a, const BlockHandle& b) { return a.offset < b.offset; });
    // The data blocks end where the first meta block (a filter, listed by the
    // meta-index), the meta-index or else the index begins.
    std::uint64_t data_end = index_handle_.offset;
    if (metaindex_handle_.size != 0) {
        data_end = std::min(data_end, metaindex_handle_.offset);
        if (const auto metaindex = read_block(metaindex_handle_)) {
            metaindex->for_each_entry([&](std::uint64_t, Bytes, Bytes value) {
                if (const auto handle = decode_block_handle(value)) data_end = std::min(data_end, handle->offset);
            });
        }
    }
    std::uint64_t covered = 0;
    for (const BlockHandle& handle : listed) {
        if (handle.offset > covered) return true;
        if (handle.size > UINT64_MAX - BLOCK_TRAILER_SIZE - handle.offset) return true;
        covered = std::max(covered, handle.offset + handle.size + BLOCK_TRAILER_SIZE);
    }
    return covered < data_end;
}

namespace {

// Whether a decoded block is an index or meta-index block rather than data:
// each of its entries' values is exactly a block handle, lying wholly before
// the block itself. (Its keys alone cannot tell: an index's keys are table
// keys too.) The walk stops at the first value that is not one, which in a
// data block is nearly always the first: a data block costs one entry here,
// and is walked whole only once, for its records.
bool lists_blocks(const Block& block) {
    bool any = false, all = true;
    block.for_each_entry([&](std::uint64_t, Bytes, Bytes value) {
        ByteCursor cursor(value);
        const auto handle = read_block_handle(cursor);
        all = handle && cursor.remaining() == 0 && handle->offset <= block.offset() &&
              handle->size <= block.offset() - handle->offset &&
              BLOCK_TRAILER_SIZE <= block.offset() - handle->offset - handle->size;
        any = true;
        return all;
    });
    return any && all;
}

// The engine writes a table's meta blocks between its last data block and its
// index: a filter block (when the store has a filter policy), then the
// meta-index, which lists it under "filter." and the policy's name. Carving
// finds neither: the filter block ends in the offset of its offset array and a
// base log byte, not in a restart array, and the meta-index starts where no
// block found ends. Yet their bytes are whole, not lost.
constexpr std::string_view kFilterKeyPrefix = "filter.";
// The meta-index's first entry begins with a shared length of 0 and two
// one-byte lengths (a filter's name and handle are short), then its key.
constexpr std::size_t kFirstKeyAt = 3;
// How far before the index the meta-index may begin: it holds one short entry
// per filter policy, a few dozen bytes.
constexpr std::uint64_t kMetaIndexReach = 4096;
// How many places that could start it are tried, the last first. Each costs a
// checksum over bytes of the stretch before the index (the engine's one entry
// is found by the first), so hostile bytes cost a small multiple of the
// stretch, not its square.
constexpr int kMetaIndexTries = 4;

// Whether the bytes [start, end) hold a raw block and its trailer, the
// trailer's checksum true.
bool whole_raw_block(Bytes file, std::uint64_t start, std::uint64_t end) {
    if (end < start || end - start < BLOCK_TRAILER_SIZE) return false;
    const std::uint64_t type_at = end - BLOCK_TRAILER_SIZE;
    if (file[type_at] != 0) return false;  // stored uncompressed
    const std::uint32_t checksum = read_fixed32(file, type_at + 1);
    return crc32c::value(file.subspan(start, type_at + 1 - start)) == crc32c::unmask(checksum);
}

// Where the meta blocks that end right where the index begins (`index_at`)
// start, none before `from`; `index_at` when there are none to be found there.
std::uint64_t meta_blocks_start(Bytes file, std::uint64_t from, std::uint64_t index_at) {
    const std::uint64_t reach = std::max(from, index_at - std::min(index_at, kMetaIndexReach));
    const std::string_view window(reinterpret_cast<const char*>(file.data() + reach), index_at - reach);
    int tries = 0;
    for (std::size_t key = window.rfind(kFilterKeyPrefix);
         key != std::string_view::npos && key >= kFirstKeyAt && tries++ < kMetaIndexTries;
         key = window.rfind(kFilterKeyPrefix, key - 1)) {
        const std::uint64_t metaindex_at = reach + key - kFirstKeyAt;
        if (file[metaindex_at] != 0 || !whole_raw_block(file, metaindex_at, index_at)) continue;
        const Bytes contents = file.subspan(metaindex_at, index_at - BLOCK_TRAILER_SIZE - metaindex_at);
        const auto metaindex = Block::make(contents, metaindex_at, false);
        if (!metaindex) continue;
        // The filter block it lists, when that ends right where it begins (the
        // first entry that says so is the one checked).
        std::uint64_t start = metaindex_at;
        metaindex->for_each_entry([&](std::uint64_t, Bytes, Bytes value) {
            const auto handle = decode_block_handle(value);
            if (!handle || handle->offset < from || handle->offset > metaindex_at ||
                handle->size > metaindex_at - handle->offset ||
                metaindex_at - handle->offset - handle->size != BLOCK_TRAILER_SIZE) {
                return true;
            }
            if (whole_raw_block(file, handle->offset, metaindex_at)) start = handle->offset;
            return false;
        });
        return start;
    }
    return index_at;
}

}  // namespace

void LdbFile::salvage_records(RecordSink sink, PassObserver* observer) const {
    if (!mapped_.is_mapped()) return;
    FilePass pass(mapped_);
    ByteBuffer whole;
    const auto bytes = pass.read(0, pass.size(), whole, /*copy=*/false);
    if (!bytes) {
        if (observer != nullptr) observer->stopped(0, kFileShrankReason);
        return;
    }
    // The blocks the index lists were read by read_records already.
    std::set<std::pair<std::uint64_t, std::uint64_t>> listed;
    if (indexed_) {
        for (const IndexEntry& entry : index_) listed.emplace(entry.handle.offset, entry.handle.size);
        listed.emplace(index_handle_.offset, index_handle_.size);
        listed.emplace(metaindex_handle_.offset, metaindex_handle_.size);
    }
    ByteBuffer raw;
    ByteBuffer scratch;
    std::uint64_t accounted = 0;  // where the last block accepted ends
    bool shrank = false;
    carve_blocks(*bytes, [&](const CarvedBlock& carved) {
        if (shrank) return false;
        if (listed.contains({carved.offset, carved.size})) {
            accounted = carved.end();
            return true;
        }
        auto block = read_block_in(pass, carved.handle(), raw, scratch);
        if (!block) {
            if (std::holds_alternative<LdbError::FileShrank>(block.error().kind)) shrank = true;
            return false;
        }
        const bool lists = lists_blocks(*block);
        if (!indexed_ && carved.offset > accounted && observer != nullptr) {
            std::uint64_t lost_to = carved.offset;
            if (lists) lost_to = meta_blocks_start(*bytes, accounted, carved.offset);
            if (lost_to > accounted) observer->bytes_skipped(accounted, lost_to, "no intact block found here");
        }
        accounted = carved.end();
        if (lists) return true;
        if (observer != nullptr) observer->block_carved(carved.offset, carved.size + BLOCK_TRAILER_SIZE);
        emit_entries(*block, sink);
        return true;
    });
    if (observer == nullptr) return;
    if (shrank || !pass.still_holds(0, pass.size())) {
        observer->stopped(accounted, kFileShrankReason);
        return;
    }
    if (indexed_ || accounted >= pass.size()) return;
    // A footer with its magic number is the table's, not lost bytes.
    std::uint64_t end = pass.size();
    if (end - accounted >= FOOTER_SIZE && read_fixed64(*bytes, end - TABLE_MAGIC_SIZE) == TABLE_MAGIC) {
        end -= FOOTER_SIZE;
    }
    if (accounted < end) observer->bytes_skipped(accounted, end, "no intact block found here");
}

std::vector<Record> LdbFile::records() const {
    std::vector<Record> out;
    read_records(RecordCollector{out});
    return out;
}

}  // namespace tarnwick
