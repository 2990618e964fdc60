// One block of a table file and the entries in it.
//
// Block contents, after decompression:
//   entries, one after another, up to restart_offset
//   restart array: num_restarts 32-bit little-endian offsets
//   num_restarts, 32-bit little-endian, in the last 4 bytes
// Each entry: shared, non_shared and value_length as 32-bit varints, then
// non_shared bytes of key (appended to the first `shared` bytes of the
// previous entry's key) and value_length bytes of value.
//
// The restart array is used only to find where the entries start (its first
// slot) and where they end (the array itself). Decoding stops quietly at the
// first entry that does not fit.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "util/byte_buffer.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

// The last 4 bytes of a block hold its restart count, and each restart is a
// 4-byte offset.
inline constexpr std::size_t RESTART_COUNT_SIZE = 4;
inline constexpr std::size_t RESTART_SIZE = 4;

// Why a block's contents cannot be a block. A plain value: its text is built
// only when someone asks for it, since most callers just skip the block.
struct BlockError {
    struct TooShort { std::size_t block_size; };
    struct RestartsDoNotFit { std::uint32_t num_restarts; std::size_t block_size; };

    std::variant<TooShort, RestartsDoNotFit> kind;

    [[nodiscard]] std::string message() const;
};

struct BlockEntry {
    std::vector<std::uint8_t> key;    // the full key, prefix included
    std::vector<std::uint8_t> value;
    std::uint64_t offset;             // position of the entry's first byte in the block
};

class Block {
   public:
    // A block over contents that live elsewhere (the file mapping, or a buffer
    // the caller reuses from block to block). Refused when the contents cannot
    // hold the restart count and the restart array it announces: such a block
    // has no place where its entries could end.
    [[nodiscard]] static std::expected<Block, BlockError> make(Bytes contents, std::uint64_t offset,
                                                               bool compressed);
    // The same, the block owning its contents.
    [[nodiscard]] static std::expected<Block, BlockError> make(ByteBuffer contents, std::uint64_t offset, bool compressed);

    Bytes data() const noexcept { return data_; }
    std::uint64_t offset() const noexcept { return offset_; }
    std::size_t restart_offset() const noexcept { return restart_offset_; }
    std::uint32_t num_restarts() const noexcept { return num_restarts_; }
    bool compressed() const noexcept { return compressed_; }

    // Calls visit(entry_offset, key, value) for each entry in stored order. The
    // key is a view of one running buffer that the next entry overwrites; copy
    // what must outlive the call. Never reads outside the contents. A visit
    // that returns bool stops the walk by returning false.
    template <class Visit>
    void for_each_entry(Visit&& visit) const;

   private:
    Block(Bytes data, std::uint64_t offset, std::uint32_t num_restarts, bool compressed) noexcept
        : data_(data),
          offset_(offset),
          restart_offset_(data.size() - RESTART_COUNT_SIZE - RESTART_SIZE * static_cast<std::size_t>(num_restarts)),
          num_restarts_(num_restarts),
          compressed_(compressed) {}

    ByteBuffer owned_;  // empty unless the block owns its contents
    Bytes data_;
    std::uint64_t offset_;
    std::size_t restart_offset_;
    std::uint32_t num_restarts_;
    bool compressed_;
};

// The entries of a block as owned values, in stored order.
std::vector<BlockEntry> decode_entries(const Block& block);

template <class Visit>
void Block::for_each_entry(Visit&& visit) const {
    const Bytes data = data_;
    const std::uint8_t* const base = data.data();
    const std::size_t size = data.size();
    const std::size_t end = restart_offset_;

    // The first restart slot says where the first entry starts (0 in a sound
    // block). It is taken as signed: a slot with its top bit set means none.
    const auto first = static_cast<std::int32_t>(read_fixed32(data, end));
    if (first < 0 || static_cast<std::size_t>(first) >= end) return;

    ByteBuffer key;
    std::size_t o = static_cast<std::size_t>(first);
    while (true) {
        std::uint64_t shared, non_shared, value_length;
        std::size_t p;
        if (o + 3 <= size && (base[o] | base[o + 1] | base[o + 2]) < 0x80) [[likely]] {
            shared = base[o];
            non_shared = base[o + 1];
            value_length = base[o + 2];
            p = o + 3;
        } else {
            const auto a = decode_varint32(data, o);
            if (!a) return;
            const auto b = decode_varint32(data, o + a->length);
            if (!b) return;
            const auto c = decode_varint32(data, o + a->length + b->length);
            if (!c) return;
            shared = a->value;
            non_shared = b->value;
            value_length = c->value;
            p = o + a->length + b->length + c->length;
        }
        if (shared > key.size()) return;
        if (non_shared > size - p) return;
        key.resize(static_cast<std::size_t>(shared));
        key.append(data.subspan(p, static_cast<std::size_t>(non_shared)));
        p += static_cast<std::size_t>(non_shared);
        if (value_length > size - p) return;
        const Bytes value = data.subspan(p, static_cast<std::size_t>(value_length));
        if constexpr (std::is_same_v<std::invoke_result_t<Visit&, std::uint64_t, Bytes, Bytes>, bool>) {
            if (!visit(static_cast<std::uint64_t>(o), key.bytes(), value)) return;
        } else {
            visit(static_cast<std::uint64_t>(o), key.bytes(), value);
        }
        o = p + static_cast<std::size_t>(value_length);
        if (o >= end) return;
    }
}

}  // namespace tarnwick
