// A table file (extension .ldb or .sst): every entry of every data block that
// its index lists, and for salvage those of the blocks found by their
// checksums.
//
// Layout used here: data blocks from offset 0, each followed by a 5-byte
// trailer (compression type, then a checksum that only salvage reads, to find
// blocks by; the index tells where they are otherwise); meta blocks and the
// meta-index (read only to find where the data blocks end); the index block, whose entries' values are
// the handles of the data blocks; and a 48-byte footer holding the meta-index
// handle, the index handle, padding and the 8-byte magic number.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "db/file_pass.hpp"
#include "db/mapped_file.hpp"
#include "db/pass_observer.hpp"
#include "db/record.hpp"
#include "ldb_file/block.hpp"
#include "ldb_file/block_carver.hpp"
#include "ldb_file/block_handle.hpp"
#include "ldb_file/snappy.hpp"

namespace tarnwick {

// A table ends in a fixed-size footer: the metaindex and index block handles,
// zero padding to 40 bytes, then the 8-byte magic number.
inline constexpr std::size_t FOOTER_SIZE = 48;
inline constexpr std::size_t TABLE_MAGIC_SIZE = 8;
inline constexpr std::uint64_t TABLE_MAGIC = 0xdb4775248b80fb57ULL;

struct LdbError {
    struct Io { OsError error; };
    struct InvalidMagic { std::string path; };
    struct InvalidBlock { std::string message; };  // the footer or a block's extent
    struct BadBlock { BlockError error; };          // a block's contents
    struct Snappy { SnappyError error; };
    struct FileTooSmall {};
    // A page of the file vanished while it was read: it was truncated.
    struct FileShrank {};
    using Kind = std::variant<Io, InvalidMagic, InvalidBlock, BadBlock, Snappy, FileTooSmall, FileShrank>;

    Kind kind;

    // Any of the kinds, or the error of a layer below, wrapped in its kind.
    template <class K>
        requires std::constructible_from<Kind, K&&>
    LdbError(K&& k) : kind(std::forward<K>(k)) {}
    LdbError(OsError error) : kind(Io{std::move(error)}) {}
    LdbError(SnappyError error) : kind(Snappy{std::move(error)}) {}
    LdbError(BlockError error) : kind(BadBlock{std::move(error)}) {}

    [[nodiscard]] std::string message() const;
};

// One line of the index: where a data block lies. The entry's key (a separator
// between blocks) is not kept, since nothing reads it, and copying it would let
// a crafted index whose entries all share one long prefix turn a small file
// into gigabytes of copies of that prefix.
struct IndexEntry {
    BlockHandle handle;
};

class LdbFile {
   public:
    // Opens and maps the file and reads its footer and index block. A file
    // shorter than a footer opens with no mapping and no blocks.
    // The file number is read from the path's name (a lone file, as tests and
    // tools open one).
    [[nodiscard]] static std::expected<LdbFile, LdbError> open(const std::string& path);
    // The same for the entry `name` of the directory open as `dir_fd`, whose
    // name the caller has already read as `number`; records name the file by
    // `display_path`. `as` says what the name may lead to now.
    [[nodiscard]] static std::expected<LdbFile, LdbError> open_at(int dir_fd, const std::string& name,
                                                                  const std::string& display_path,
                                                                  std::uint64_t number, OpenAs as = OpenAs::Anything);

    // Opens and maps the file without reading its footer or its index, for
    // salvage_records: a table whose end is lost or damaged.
    [[nodiscard]] static std::expected<LdbFile, LdbError> open_unindexed(const std::string& path);
    [[nodiscard]] static std::expected<LdbFile, LdbError> open_unindexed_at(int dir_fd, const std::string& name,
                                                                            const std::string& display_path,
                                                                            std::uint64_t number,
                                                                            OpenAs as = OpenAs::Anything);

    // The block at `handle`, copied out of the mapping or decompressed.
    [[nodiscard]] std::expected<Block, LdbError> read_block(const BlockHandle& handle) const;

    // Every entry of every readable data block, block by block in index order.
    // A block that runs past the end of the file or fails to decompress is
    // skipped, and so is an exact repeat of a block already read. Damage to
    // one index entry costs only that entry's block; to keep a crafted index
    // from costing unbounded work, the pass stops once the blocks it decoded
    // add up to kDecodeBudgetFactor times the file's length, which a sound
    // table never comes near (its blocks add up to less than the file). If the
    // file shrinks during the pass, the pass ends there. Never fails.
    std::vector<Record> records() const;
    void read_records(RecordSink sink, PassObserver* observer = nullptr) const;

    // Salvage: every data block that carving finds (see block_carver.hpp) and
    // that the index does not list, each reported to the observer as carved,
    // its entries given like those of any block. For a file opened without
    // its index that is every data block found; the stretches where no block
    // was found are reported as skipped. Index and meta-index blocks found on
    // the way are recognised (their entries are block handles pointing before
    // them) and give nothing; so does a filter block, which is no block of
    // entries at all. The meta-index and the filter block it lists, found
    // before an index block and whole by their checksums, are not reported as
    // skipped. If the file shrinks during the pass, the pass ends there.
    void salvage_records(RecordSink sink, PassObserver* observer = nullptr) const;

    // Whether the index leaves a stretch before the meta blocks that none of
    // its handles covers, where data blocks it lost may lie (a sound index
    // lists blocks that lie back to back from offset 0).
    [[nodiscard]] bool index_leaves_gaps() const;

    // How many times its own length a table's blocks may add up to in one pass.
    static constexpr std::uint64_t kDecodeBudgetFactor = 4;

    const std::string& path() const noexcept { return *path_; }
    std::uint64_t file_number() const noexcept { return file_number_; }
    const std::vector<IndexEntry>& index() const noexcept { return index_; }
    // Where the index block and the meta-index block lie, from the footer.
    const BlockHandle& index_handle() const noexcept { return index_handle_; }
    const BlockHandle& metaindex_handle() const noexcept { return metaindex_handle_; }
    std::uint64_t length() const noexcept { return mapped_.length(); }

   private:
    LdbFile(MappedFile mapped, SharedPath path, std::uint64_t file_number)
        : mapped_(std::move(mapped)), path_(std::move(path)), file_number_(file_number) {}

    // Reads the block at `handle` in `pass`. An uncompressed block is copied
    // into `raw`; a compressed one is decompressed into `scratch` (from the
    // mapping in place, or from `raw` where it reaches into a hole). Both
    // buffers must outlive the returned block. Nothing read from a page that
    // vanished meanwhile is given back.
    [[nodiscard]] std::expected<Block, LdbError> read_block_in(FilePass& pass, const BlockHandle& handle,
                                                               ByteBuffer& raw, ByteBuffer& scratch) const;

    // Hands the entries of a decoded block to `sink`.
    void emit_entries(const Block& block, RecordSink sink) const;

    MappedFile mapped_;
    SharedPath path_;
    bool indexed_ = true;
    std::vector<IndexEntry> index_;
    BlockHandle index_handle_;
    BlockHandle metaindex_handle_;
    std::uint64_t file_number_;
};

}  // namespace tarnwick
