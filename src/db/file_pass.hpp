// One pass of a reader over one mapped file, made safe against the file
// changing underneath and against holes.
//
// The file may shrink while it is read (the owning application, or a copy
// being made, truncates it): the pages past its new end vanish, and the
// truncation guard answers an access to one with a page of zeros. Those zeros
// are not the file's, so a pass never reports bytes read after a page was
// replaced: `read` copies what the caller will decode and checks the guard
// afterwards, and a reader that decodes bytes in place (the input of a
// decompression) checks `intact()` before it reports what came of them. Once a
// page has vanished, the rest of the file is out of reach for this pass; at its
// end the file's own pages are mapped back, so that the next pass sees the file
// as it is then.
//
// A sparse file's holes read as zeros, but touching them through a mapping can
// allocate them (on tmpfs) and costs a page fault per page everywhere. A pass
// never touches a hole: ranges that reach into one are copied with zeros in its
// place, and `next_data` lets a reader jump over holes whose zeros give nothing.
#pragma once

#include <cstdint>
#include <optional>

#include "util/byte_buffer.hpp"
#include "db/mapped_file.hpp"
#include "util/truncation_guard.hpp"

namespace tarnwick {

class FilePass {
   public:
    // A pass over a mapped file (an unmapped one has nothing to read).
    explicit FilePass(const MappedFile& file) noexcept;
    // A pass over bytes already in memory: nothing can vanish and nothing is a
    // hole, so reads are views in place.
    explicit FilePass(Bytes bytes) noexcept;
    ~FilePass();
    FilePass(const FilePass&) = delete;
    FilePass& operator=(const FilePass&) = delete;

    // How many bytes this pass may read: the mapping's length, or the file's
    // length at the start of the pass when it has shrunk since it was mapped.
    [[nodiscard]] std::uint64_t size() const noexcept { return size_; }

    // False once a page of the file has vanished during this pass: nothing read
    // from the mapping since then may be reported.
    [[nodiscard]] bool intact() const noexcept;

    // Whether the bytes [offset, offset + length), read from the mapping in
    // place, were the file's: no page vanished, and the file still reaches
    // past them. (The part of the last page past a new end of the file reads
    // as zeros without any fault, so the guard alone cannot tell.) Once
    // false, every later read fails too.
    [[nodiscard]] bool still_holds(std::uint64_t offset, std::uint64_t length) noexcept;

    // The bytes [offset, offset + length), which the caller keeps within
    // size(). With `copy`, or when the range reaches into a hole, they are
    // copied into `scratch` (holes as zeros) and checked after the copy; absent
    // when the file lost them meanwhile, and then for every later read.
    // Without `copy` a range of data only is viewed in place: the caller checks
    // still_holds() after it has used the bytes.
    [[nodiscard]] std::optional<Bytes> read(std::uint64_t offset, std::uint64_t length, ByteBuffer& scratch,
                                            bool copy);

    // The first offset at or after `offset` that may hold data: `offset`
    // itself for a file without holes, size() when only holes follow.
    [[nodiscard]] std::uint64_t next_data(std::uint64_t offset);

   private:
    // The data extent holding `offset` or the first one after it, as
    // [begin, end); begin == size_ when there is none.
    struct Extent {
        std::uint64_t begin;
        std::uint64_t end;
    };
    Extent extent_from(std::uint64_t offset);
    std::optional<Bytes> copy_sparse(std::uint64_t offset, std::uint64_t length, ByteBuffer& scratch);

    const MappedFile* file_;
    Bytes bytes_;
    std::uint64_t size_;
    TruncationGuard guard_;
    bool sparse_ = false;
    bool vanished_ = false;
    Extent cached_{0, 0};
};

}  // namespace tarnwick
