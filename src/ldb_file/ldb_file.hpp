// A table file (extension .ldb or .sst): every entry of every data block that
// its index lists.
//
// Layout used here: data blocks from offset 0, each followed by a 5-byte
// trailer (compression type, then a checksum that is never read); meta blocks
// and the meta-index (never read); the index block, whose entries' values are
// the handles of the data blocks; and a 48-byte footer holding the meta-index
// handle, the index handle, padding and the 8-byte magic number.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "db/mapped_file.hpp"
#include "db/record.hpp"
#include "ldb_file/block.hpp"
#include "ldb_file/block_handle.hpp"
#include "ldb_file/snappy.hpp"

namespace tarnwick {

inline constexpr std::size_t FOOTER_SIZE = 48;
inline constexpr std::size_t BLOCK_TRAILER_SIZE = 5;
inline constexpr std::uint64_t TABLE_MAGIC = 0xdb4775248b80fb57ULL;

struct LdbError {
    struct Io { OsError error; };
    struct InvalidMagic { std::string path; };
    struct InvalidBlock { std::string message; };
    struct Snappy { SnappyError error; };
    struct FileTooSmall {};

    std::variant<Io, InvalidMagic, InvalidBlock, Snappy, FileTooSmall> kind;

    std::string message() const;
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
    static std::expected<LdbFile, LdbError> open(const std::string& path);

    // The block at `handle`, copied out of the mapping or decompressed.
    std::expected<Block, LdbError> read_block(const BlockHandle& handle) const;

    // Every entry of every readable data block, block by block in index order.
    // A block that runs past the end of the file, fails to decompress or
    // overlaps a block already read is skipped. Never fails.
    std::vector<Record> records() const;
    void read_records(RecordSink sink) const;

    const std::string& path() const noexcept { return *path_; }
    std::uint64_t file_number() const noexcept { return file_number_; }
    const std::vector<IndexEntry>& index() const noexcept { return index_; }
    std::uint64_t length() const noexcept { return mapped_.length(); }

   private:
    LdbFile(MappedFile mapped, SharedPath path, std::uint64_t file_number)
        : mapped_(std::move(mapped)), path_(std::move(path)), file_number_(file_number) {}

    // Reads the block at `handle` out of `file` (the mapping, or the part of it
    // that can still be read). An uncompressed block is viewed in place; a
    // compressed one is decompressed into `scratch`, which must outlive the
    // returned block.
    std::expected<Block, LdbError> read_block_from(Bytes file, const BlockHandle& handle,
                                                   ByteBuffer& scratch) const;

    MappedFile mapped_;
    SharedPath path_;
    std::vector<IndexEntry> index_;
    std::uint64_t file_number_;
};

}  // namespace tarnwick
