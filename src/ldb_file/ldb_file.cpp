#include "ldb_file/ldb_file.hpp"

#include <map>

#include "db/file_name.hpp"
#include "db/truncation_guard.hpp"

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
    if (key.size() < 8) return {0, KeyState::Unknown};
    const std::uint64_t trailer = read_fixed64(key, key.size() - 8);
    if (key.size() == 8) return {trailer >> 8, KeyState::Unknown};
    return {trailer >> 8, (trailer & 0xFF) == 0 ? KeyState::Deleted : KeyState::Live};
}

// The byte ranges of the blocks read so far. In a sound table the data blocks
// never overlap; a crafted index that lists the same bytes again and again
// would otherwise make a small file produce records without bound.
class ReadRanges {
   public:
    bool overlaps(std::uint64_t begin, std::uint64_t end) const {
        // The usual case: blocks come in file order, each after all the others.
        if (begin >= furthest_end_) return false;
        auto next = ranges_.lower_bound(begin);  // first range starting at or after begin
        if (next != ranges_.end() && next->first < end) return true;
        if (next != ranges_.begin() && std::prev(next)->second > begin) return true;
        return false;
    }
    void add(std::uint64_t begin, std::uint64_t end) {
        if (begin >= furthest_end_) {
            ranges_.emplace_hint(ranges_.end(), begin, end);
            furthest_end_ = end;
        } else {
            ranges_.emplace(begin, end);
        }
    }

   private:
    std::map<std::uint64_t, std::uint64_t> ranges_;
    std::uint64_t furthest_end_ = 0;
};

}  // namespace

std::string LdbError::message() const {
    return std::visit(
        Overloaded{
            [](const Io& e) { return "IO error: " + e.error.message(); },
            [](const InvalidMagic& e) { return "Invalid magic number in " + e.path; },
            [](const InvalidBlock& e) { return "Invalid block: " + e.message; },
            [](const Snappy& e) { return "Snappy decompression error: " + e.error.message(); },
            [](const FileTooSmall&) { return std::string("File too small to contain a valid footer"); },
        },
        kind);
}

std::expected<LdbFile, LdbError> LdbFile::open(const std::string& path) {
    auto mapped = MappedFile::open(path);
    if (!mapped) return std::unexpected(LdbError{LdbError::Io{std::move(mapped.error())}});
    LdbFile file(std::move(*mapped), SharedPath(path), file_number_of(path));
    if (file.mapped_.length() < FOOTER_SIZE) return file;
    if (auto mapping = file.mapped_.map(); !mapping) {
        return std::unexpected(LdbError{LdbError::Io{std::move(mapping.error())}});
    }

    const TruncationGuard guard(file.mapped_.view());
    const Bytes bytes = file.mapped_.readable_view();
    if (bytes.size() < FOOTER_SIZE) return file;  // cut short since it was measured: nothing to read
    ByteCursor footer(bytes.last(FOOTER_SIZE));
    if (!footer.read_block_handle()) {
        return std::unexpected(LdbError{LdbError::InvalidBlock{"Failed to read meta index handle"}});
    }
    const auto index_handle = footer.read_block_handle();
    if (!index_handle) {
        return std::unexpected(LdbError{LdbError::InvalidBlock{"Failed to read index handle"}});
    }
    if (read_fixed64(bytes, bytes.size() - 8) != TABLE_MAGIC) {
        return std::unexpected(LdbError{LdbError::InvalidMagic{path}});
    }

    ByteBuffer scratch;
    auto index_block = file.read_block_from(bytes, *index_handle, scratch);
    if (!index_block) return std::unexpected(std::move(index_block.error()));
    index_block->for_each_entry([&](std::uint64_t, Bytes, Bytes value) {
        if (const auto handle = decode_block_handle(value)) file.index_.push_back({*handle});
    });
    return file;
}

std::expected<Block, LdbError> LdbFile::read_block_from(Bytes file, const BlockHandle& handle,
                                                        ByteBuffer& scratch) const {
    if (!mapped_.is_mapped()) return std::unexpected(LdbError{LdbError::FileTooSmall{}});
    // offset + size + 5 <= length, written so that it cannot wrap around.
    const std::uint64_t length = file.size();
    if (handle.offset > length || handle.size > length - handle.offset ||
        BLOCK_TRAILER_SIZE > length - handle.offset - handle.size) {
        return std::unexpected(LdbError{LdbError::InvalidBlock{
            "Block extends past end of file at offset " + std::to_string(handle.offset) + " in " + *path_}});
    }
    const Bytes contents = file.subspan(static_cast<std::size_t>(handle.offset), static_cast<std::size_t>(handle.size));
    const bool compressed = file[static_cast<std::size_t>(handle.offset + handle.size)] != 0;

    std::expected<Block, std::string> block = std::unexpected(std::string());
    if (compressed) {
        // Any non-zero type is taken for Snappy; other codecs fail there.
        if (auto done = decompress_snappy(contents, scratch); !done) {
            return std::unexpected(LdbError{LdbError::Snappy{std::move(done.error())}});
        }
        block = Block::make(scratch.bytes(), handle.offset, true);
    } else {
        block = Block::make(contents, handle.offset, false);
    }
    if (!block) return std::unexpected(LdbError{LdbError::InvalidBlock{std::move(block.error())}});
    return std::move(*block);
}

std::expected<Block, LdbError> LdbFile::read_block(const BlockHandle& handle) const {
    ByteBuffer scratch;
    const TruncationGuard guard(mapped_.view());
    auto block = read_block_from(mapped_.readable_view(), handle, scratch);
    if (!block) return block;
    // The returned block owns its bytes.
    ByteBuffer owned;
    owned.assign(block->data());
    auto result = Block::make(std::move(owned), block->offset(), block->compressed());
    if (!result) return std::unexpected(LdbError{LdbError::InvalidBlock{std::move(result.error())}});
    return std::move(*result);
}

void LdbFile::read_records(RecordSink sink) const {
    if (!mapped_.is_mapped()) return;
    const TruncationGuard guard(mapped_.view());
    Bytes file = mapped_.readable_view();
    ByteBuffer scratch;
    ReadRanges read;
    for (const IndexEntry& entry : index_) {
        const std::uint64_t begin = entry.handle.offset;
        if (begin > UINT64_MAX - BLOCK_TRAILER_SIZE || entry.handle.size > UINT64_MAX - BLOCK_TRAILER_SIZE - begin) {
            continue;  // cannot lie within any file
        }
        const std::uint64_t end = begin + entry.handle.size + BLOCK_TRAILER_SIZE;
        // Checked before reading, so that a repeated handle costs no decompression.
        if (read.overlaps(begin, end)) continue;
        auto block = read_block_from(file, entry.handle, scratch);
        if (!block) continue;
        if (guard.pages_replaced()) {
            // The file shrank during this pass: what lies past its new end
            // reads as zeros now, so measure again before decoding more.
            file = mapped_.readable_view();
            if (end > file.size()) continue;
        }
        read.add(begin, end);

        const bool compressed = block->compressed();
        block->for_each_entry([&](std::uint64_t entry_offset, Bytes key, Bytes value) {
            const auto [seq, state] = seq_and_state(key);
            sink(RecordView{key, value, seq, state, FileKind::Table, path_,
                            compressed ? begin : begin + entry_offset, compressed});
        });
    }
}

std::vector<Record> LdbFile::records() const {
    std::vector<Record> out;
    read_records(RecordCollector{out});
    return out;
}

}  // namespace tarnwick
