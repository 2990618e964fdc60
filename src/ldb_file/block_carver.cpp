#include "ldb_file/block_carver.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "ldb_file/block.hpp"
#include "ldb_file/snappy.hpp"
#include "util/crc32c.hpp"
#include "varint/varint.hpp"

namespace tarnwick {

namespace {

// x^(-8q) for any position q, as x^(-8 * window start) * x^(-8 * (q - window
// start)): one multiplication per lookup, one more each time the window moves.
class InversePowers {
   public:
    static constexpr std::uint64_t kWindow = 4096;

    std::uint32_t at(std::uint64_t q) {
        const std::uint64_t window = q / kWindow;
        if (window != window_) {
            high_ = window == window_ + 1 ? crc32c::multiply(high_, step()) : crc32c::x_pow_minus_8n(window * kWindow);
            window_ = window;
        }
        return crc32c::multiply(high_, small()[q % kWindow]);
    }

   private:
    static const std::array<std::uint32_t, kWindow>& small() {
        static const std::array<std::uint32_t, kWindow> table = [] {
            std::array<std::uint32_t, kWindow> t{};
            const std::uint32_t minus8 = crc32c::x_pow_minus_8n(1);
            t[0] = crc32c::kOne;
            for (std::size_t i = 1; i < kWindow; ++i) t[i] = crc32c::multiply(t[i - 1], minus8);
            return t;
        }();
        return table;
    }
    static std::uint32_t step() {
        static const std::uint32_t value = crc32c::x_pow_minus_8n(kWindow);
        return value;
    }

    std::uint64_t window_ = 0;
    std::uint32_t high_ = crc32c::kOne;
};

// The keys of the candidate starts of the stretch since the last block found.
// A fixed set-associative table: a key's bucket holds kWays starts, and a new
// start replaces the oldest one there, so memory stays fixed and the recent
// starts are kept. Emptied in constant time by moving to a new generation.
class OpenStarts {
   public:
    OpenStarts() : slots_(kBuckets * kWays) {}

    void add(std::uint32_t key, std::uint64_t start) {
        Slot* bucket = &slots_[bucket_of(key)];
        Slot* victim = bucket;
        for (std::size_t i = 0; i < kWays; ++i) {
            Slot& slot = bucket[i];
            if (slot.generation != generation_) {
                victim = &slot;
                break;
            }
            if (slot.start < victim->start) victim = &slot;
        }
        *victim = Slot{start, key, generation_};
    }
    // The latest start with this key.
    std::optional<std::uint64_t> find(std::uint32_t key) const {
        const Slot* bucket = &slots_[bucket_of(key)];
        std::optional<std::uint64_t> found;
        for (std::size_t i = 0; i < kWays; ++i) {
            const Slot& slot = bucket[i];
            if (slot.generation == generation_ && slot.key == key && (!found || slot.start > *found)) {
                found = slot.start;
            }
        }
        return found;
    }
    void clear() noexcept { ++generation_; }

   private:
    static constexpr std::size_t kWays = 4;
    static constexpr std::size_t kBuckets = kMaxOpenStarts / kWays;
    struct Slot {
        std::uint64_t start = 0;
        std::uint32_t key = 0;
        std::uint32_t generation = UINT32_MAX;
    };
    static std::size_t bucket_of(std::uint32_t key) noexcept {
        // The keys of chance bytes are spread evenly already; mixing guards
        // against crafted ones that share their low bits.
        return ((key * 0x9E3779B1u) >> 20) % kBuckets * kWays;
    }

    std::vector<Slot> slots_;
    std::uint32_t generation_ = 0;
};

// The high bit of each byte of `word` that equals `value`, and no other bit:
// a byte is zero after the exclusive or exactly when adding 0x7F to its low
// seven bits leaves its high bit clear and its own high bit is clear too.
constexpr std::uint64_t bytes_equal(std::uint64_t word, std::uint8_t value) noexcept {
    constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t x = word ^ (0x0101010101010101ULL * value);
    return ~(((x & kLows) + kLows) | x | kLows);
}
// Nonzero when a byte of `word` may be below the bound repeated in every
// byte of `bounds` (each at most 0x80): every such byte is flagged, and at
// times a byte equal to the bound after one (a borrow). With bounds of 2, the
// bytes that may be type bytes.
constexpr std::uint64_t may_be_below(std::uint64_t word, std::uint64_t bounds) noexcept {
    return (word - bounds) & ~word & 0x8080808080808080ULL;
}
inline constexpr std::uint64_t kEveryByte = 0x0101010101010101ULL;
static_assert(bytes_equal(0x0001020001FF0100ULL, 0) == 0x8000008000000080ULL);
static_assert(bytes_equal(0x0001020001FF0100ULL, 1) == 0x0080000080008000ULL);

// A raw block ends with its restart array and count; the first restart is 0.
bool raw_block_could_end(Bytes bytes, std::uint64_t type_at, std::uint64_t floor) noexcept {
    if (type_at < floor + RESTART_COUNT_SIZE) return false;
    const std::uint64_t restarts = read_fixed32(bytes, static_cast<std::size_t>(type_at - RESTART_COUNT_SIZE));
    if (restarts == 0) return false;
    const std::uint64_t tail = RESTART_COUNT_SIZE + RESTART_SIZE * restarts;
    if (tail > type_at - floor) return false;
    return read_fixed32(bytes, static_cast<std::size_t>(type_at - tail)) == 0;
}

}  // namespace

namespace {

// A Snappy stream is the uncompressed length L as a varint, then elements
// (literals and copies). The decoder takes a stream only if L is no more
// than snappy_max_expansion of the body after the varint, so the body is at
// least snappy_min_body(L) bytes (the inverse of snappy_max_expansion). It
// also refuses bytes left over once L bytes are out, every element yields at
// least one byte, and none costs more than kSnappyMostBytesPerByte bytes per
// byte it yields: a one-byte literal whose length takes the longest form (a
// tag, four length bytes, the byte). So the body is at most that many times L.
constexpr std::uint64_t snappy_min_body(std::uint64_t length) noexcept {
    return length == 0 ? 0 : (length - 1) / 64 * 3;
}
inline constexpr std::uint64_t kSnappyMostBytesPerByte = 6;
static_assert(snappy_max_expansion(snappy_min_body(4096)) >= 4096 &&
              snappy_max_expansion(snappy_min_body(4096) - 1) < 4096);
static_assert(snappy_max_expansion(snappy_min_body(65)) >= 65 && snappy_max_expansion(snappy_min_body(65) - 1) < 65);
static_assert(snappy_min_body(64) == 0 && snappy_min_body(1) == 0);

// One pass of the carver, in two modes.
//
// Chaining: the blocks follow one another. The register runs over
// [origin, q), the origin being the start after the last block found, and a
// candidate end is tested against that one start: its register against the
// checksum stored after it. A Snappy candidate is tested only where a block
// from the origin could end, going by the uncompressed length its first
// bytes announce (see snappy_min_body): in an uncompressed table the first
// byte is an entry's shared length, 0, and no 0x01 byte ends a Snappy block
// of nothing, so the 0x01 bytes of keys and values cost nothing more there.
//
// Searching: the chain has broken, having found no block within
// kMaxChainBytes of the origin, or before the end of the bytes. The stretch
// since the origin is walked again from the origin, now testing every
// candidate end against every candidate start by their keys; the register
// stays relative to that origin for as long as the search lasts. Blocks
// found inside the stretch the chain walked leave the search going; the
// first block found beyond it ends the search, and the chain goes on after
// that block. So each byte is walked at most twice (once chaining, once
// searching), whatever the bytes: a stretch is searched again at most once.
// Walking it again reads it from memory, not from the disk: it is part of
// the mapped bytes the chain has just gone over, at most kMaxChainBytes
// long.
class Carver {
   public:
    Carver(Bytes table, FunctionRef<bool(const CarvedBlock&)> found, CarveCost& cost)
        : table_(table), base_(table.data()), n_(table.size()), found_(found), cost_(cost) {}

    void run(crc32c::Method how) {
        if (n_ < BLOCK_TRAILER_SIZE) return;
#if defined(__x86_64__)
        if (how == crc32c::Method::Hardware) return run_with_hardware();
#endif
        (void)how;
        scan<crc32c::SoftwareSteps>();
    }

   private:
#if defined(__x86_64__)
    // The same pass with the loop compiled for the CRC instruction.
    TARNWICK_CRC32C_HARDWARE_TARGET void run_with_hardware() { scan<crc32c::HardwareSteps>(); }
#endif

    // What the pass does after a candidate end: go on with the next byte,
    // go on at the origin (a block was taken), or stop (no block fits after
    // the one taken).
    enum class Next : std::uint8_t { On, Restart, Stop };
    // Why a walk returned: nothing is left to find, the chain broke, or the
    // search found a block beyond the stretch the chain had walked.
    enum class Walked : std::uint8_t { Done, ChainBroke, SearchEnded };

    // Where a walk stands: the next byte, and the register through the byte
    // before it.
    struct At {
        std::uint64_t q;
        std::uint32_t reg;
    };

    // The pass itself, written once for both ways of running the CRC (see
    // crc32c::SoftwareSteps): inlined into each caller, so that the steps
    // inline into a loop compiled for the instruction.
    template <class Steps>
    [[gnu::always_inline]] inline void scan() {
        set_origin(0);
        At at{0, ~0u};
        while (true) {
            if (walk<Steps, false>(at) == Walked::Done) return;
            begin_search(at.q);
            at = {origin_, ~0u};
            const Walked searched = walk<Steps, true>(at);
            ++cost_.searches;
            cost_.searched_bytes += at.q - chain_origin_;
            if (searched == Walked::Done) return;
            at = {origin_, ~0u};
        }
    }

    // One mode's walk from `at`. The position and the register live in
    // locals, so that the loop keeps them in registers: the register's chain
    // of 8-byte steps is what bounds the pass, and nothing else waits on it.
    // A candidate's register is worked out beside that chain, from the
    // register before its word (crc32c::step_first).
    template <class Steps, bool kSearch>
    [[gnu::always_inline]] inline Walked walk(At& at) {
        std::uint64_t q = at.q;
        std::uint32_t reg = at.reg;
        // Where the chain breaks, and how far words may pass in pairs.
        std::uint64_t chain_end = kSearch ? UINT64_MAX : origin_ + kMaxChainBytes;
        std::uint64_t pairs_end = std::min(n_, chain_end);
        while (q + BLOCK_TRAILER_SIZE <= n_) {
            // Most words hold no byte below 2 (no type byte) and pass in
            // pairs without a look at their bytes. While chaining beyond the
            // last place a Snappy block from the origin could end, only zero
            // bytes can be type bytes.
            const std::uint64_t bounds = !kSearch && snappy_last_ < q ? kEveryByte : 2 * kEveryByte;
            while (q + 16 <= pairs_end) {
                const std::uint64_t first = load_word(q), second = load_word(q + 8);
                if ((may_be_below(first, bounds) | may_be_below(second, bounds)) != 0) break;
                reg = Steps::step8(Steps::step8(reg, first), second);
                q += 16;
            }
            // Words may have run past the last byte a type byte can be at.
            if (q + BLOCK_TRAILER_SIZE > n_) break;
            if (!kSearch && q >= chain_end) {
                at = {q, reg};
                return Walked::ChainBroke;
            }
            Next next = Next::On;
            if (q + 8 <= n_) {
                const std::uint64_t word = load_word(q);
                for (std::uint64_t ends = candidate_ends<kSearch>(word, q); ends != 0 && next == Next::On;
                     ends &= ends - 1) {
                    const auto k = static_cast<unsigned>(std::countr_zero(ends)) / 8;
                    next = candidate<Steps, kSearch>(q + k, crc32c::step_first<Steps>(reg, word, k + 1));
                }
                if (next == Next::On) {
                    reg = Steps::step8(reg, word);
                    q += 8;
                    continue;
                }
            } else {
                // The last bytes, fewer than a word, one at a time.
                reg = Steps::step(reg, base_[q]);
                if (is_candidate_end<kSearch>(q)) next = candidate<Steps, kSearch>(q, reg);
                ++q;
                if (next == Next::On) continue;
            }
            if (next == Next::Stop) {
                at = {q, reg};
                return Walked::Done;
            }
            // A block was taken; the next one starts at the origin.
            if constexpr (kSearch) {
                at = {q, reg};
                return Walked::SearchEnded;
            }
            q = origin_;
            reg = ~0u;
            chain_end = origin_ + kMaxChainBytes;
            pairs_end = std::min(n_, chain_end);
        }
        at = {q, reg};
        return kSearch ? Walked::Done : Walked::ChainBroke;
    }

    // A candidate end while searching: the type byte's position, the CRC
    // from the origin through it plus the checksum stored after it (0
    // exactly when the stretch from the origin is the block), and the CRC
    // from the origin through that checksum (that of the start right after
    // the trailer, a candidate start: the trailer of a damaged block still
    // sits where it did, so the block after it is found).
    struct Candidate {
        std::uint64_t pos;
        std::uint32_t end_value;
        std::uint32_t start_value;
    };

    // The 8 bytes at q as one little-endian word.
    std::uint64_t load_word(std::uint64_t q) const noexcept {
        std::uint64_t word;
        std::memcpy(&word, base_ + q, 8);
        if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
        return word;
    }

    // Whether the byte at `pos` is a candidate end: a Snappy type byte (while
    // chaining, only where a Snappy block from the origin could end), or the
    // raw type byte (zero) where a restart array could end, with room for a
    // trailer after it and a block of at least one byte before it.
    template <bool kSearch>
    bool is_candidate_end(std::uint64_t pos) const noexcept {
        if (pos + BLOCK_TRAILER_SIZE > n_ || pos <= floor_) return false;
        const std::uint8_t type = base_[pos];
        if (type == BLOCK_TYPE_SNAPPY) return kSearch || (pos >= snappy_first_ && pos <= snappy_last_);
        return type == BLOCK_TYPE_RAW && raw_block_could_end(table_, pos, floor_);
    }

    // The candidate ends among the 8 bytes at q (given as `word`), as the
    // high bit of each such byte: is_candidate_end for all of them at once.
    // Most zero bytes of a raw block fail the restart array's test.
    template <bool kSearch>
    std::uint64_t candidate_ends(std::uint64_t word, std::uint64_t q) const noexcept {
        std::uint64_t ends = bytes_equal(word, BLOCK_TYPE_SNAPPY);
        if constexpr (!kSearch) ends &= snappy_window(q);
        std::uint64_t raw = bytes_equal(word, BLOCK_TYPE_RAW);
        if constexpr (!kSearch) raw &= chained_restart_count_fits(q);
        for (; raw != 0; raw &= raw - 1) {
            const std::uint64_t offset = static_cast<std::uint64_t>(std::countr_zero(raw)) / 8;
            if (raw_block_could_end(table_, q + offset, floor_)) ends |= raw & -raw;
        }
        // Not at or before the floor: a block has at least one byte.
        if (floor_ >= q) ends &= floor_ - q >= 7 ? 0 : ~std::uint64_t{0} << (8 * (floor_ - q + 1));
        // Only where a trailer fits before the end of the bytes.
        const std::uint64_t last = n_ - BLOCK_TRAILER_SIZE - q;  // q + 8 <= n_: at least 3
        if (last < 7) ends &= (std::uint64_t{1} << (8 * (last + 1))) - 1;
        return ends;
    }

    // While chaining, a raw block ends within kMaxChainBytes and a word of
    // the origin, so its restart count is below kChainedRestartsBound: the
    // count's top byte, right before the type byte, is 0, and the byte below
    // it at most kChainedCountThirdByte. The bytes among the 8 at q where
    // both hold, as a mask (with at times a byte more, where a borrow flags
    // it), so that most zero bytes of keys and values need no look at a
    // restart array. Near the origin every byte is left to
    // raw_block_could_end.
    std::uint64_t chained_restart_count_fits(std::uint64_t q) const noexcept {
        if (q < floor_ + 2) return ~std::uint64_t{0};
        return bytes_equal(load_word(q - 1), 0) &
               may_be_below(load_word(q - 2), (kChainedCountThirdByte + 1) * kEveryByte);
    }
    static constexpr std::uint64_t kChainedRestartsBound = (kMaxChainBytes + 8) / RESTART_SIZE + 1;
    static constexpr std::uint64_t kChainedCountThirdByte = kChainedRestartsBound >> 16;
    static_assert(kChainedRestartsBound >> 24 == 0 && kChainedCountThirdByte < 0x7F);

    // The bytes among the 8 at q where a Snappy block from the origin could
    // end, as a mask of whole bytes.
    std::uint64_t snappy_window(std::uint64_t q) const noexcept {
        if (q > snappy_last_ || q + 7 < snappy_first_) return 0;
        std::uint64_t mask = ~std::uint64_t{0};
        if (snappy_first_ > q) mask <<= 8 * (snappy_first_ - q);
        if (snappy_last_ - q < 7) mask &= (std::uint64_t{1} << (8 * (snappy_last_ - q + 1))) - 1;
        return mask;
    }

    // The candidate end at `pos`, with `reg` the register through its type
    // byte. While chaining it ends the block from the origin when the CRC
    // matches; while searching it is tested against the starts kept, and a
    // block taken ends the search only beyond the stretch the chain walked.
    template <class Steps, bool kSearch>
    [[gnu::always_inline]] inline Next candidate(std::uint64_t pos, std::uint32_t reg) {
        const std::uint32_t checksum = read_fixed32(table_, static_cast<std::size_t>(pos + 1));
        if constexpr (kSearch) {
            // Inside a block just taken in this word, or its trailer.
            if (pos <= floor_) return Next::On;
            if (!search(Candidate{pos, ~reg ^ crc32c::unmask(checksum), ~Steps::step4(reg, checksum)})) {
                return Next::On;
            }
            if (pos < chain_broke_at_) return Next::On;
        } else {
            if (reg != ~crc32c::unmask(checksum) || !take(floor_, pos, base_[pos])) return Next::On;
        }
        if (floor_ + BLOCK_TRAILER_SIZE > n_) return Next::Stop;
        set_origin(floor_);
        return Next::Restart;
    }

    // While searching: true when a block kept ends at the candidate and was
    // taken. The start after its trailer is kept either way.
    bool search(const Candidate& c) {
        const bool taken = end_at(c.pos, c.end_value, base_[c.pos]);
        const std::uint64_t after = c.pos + BLOCK_TRAILER_SIZE;
        if (after + BLOCK_TRAILER_SIZE <= n_) start_at(after, c.start_value);
        return taken;
    }

    // Key of a CRC from the origin to `pos`.
    std::uint32_t key_of(std::uint32_t value, std::uint64_t pos) { return crc32c::multiply(value, inverse_.at(pos - origin_)); }

    void start_at(std::uint64_t pos, std::uint32_t value) {
        if (pos == floor_) {
            floor_key_ = key_of(value, pos);
        } else if (pos > floor_) {
            open_.add(key_of(value, pos), pos);
        }
    }

    // True when a start kept begins a block ending at `pos` that was taken.
    bool end_at(std::uint64_t pos, std::uint32_t value, std::uint8_t type) {
        const std::uint32_t key = key_of(value, pos + 1);
        std::optional<std::uint64_t> start;
        if (floor_key_ && *floor_key_ == key) {
            start = floor_;
        } else {
            start = open_.find(key);
        }
        return start && take(*start, pos, type);
    }

    bool take(std::uint64_t start, std::uint64_t type_at, std::uint8_t type) {
        if (start >= type_at || start < floor_) return false;
        if (!found_(CarvedBlock{start, type_at - start, type})) return false;
        floor_ = type_at + BLOCK_TRAILER_SIZE;
        open_.clear();
        floor_key_.reset();
        return true;
    }

    // The chain broke at `q`: the search walks from the origin, where the
    // only start so far is the origin itself. The CRC from the origin to it
    // is that of no bytes, 0, whose key is 0.
    void begin_search(std::uint64_t q) {
        chain_broke_at_ = q;
        chain_origin_ = origin_;
        floor_key_ = 0;
    }

    // The chain goes on from `origin` (the floor): where a Snappy block
    // starting there could end, from the length its first bytes announce.
    void set_origin(std::uint64_t origin) {
        origin_ = origin;
        snappy_first_ = UINT64_MAX;
        snappy_last_ = 0;
        const auto length = decode_varint32(table_, static_cast<std::size_t>(origin));
        if (!length) return;
        // The longest varint this reads is below 2^35, so the bounds cannot
        // overflow; a length the decoder refuses (2^32 or more) gives bounds
        // no block that decompresses needs.
        const std::uint64_t body = origin + length->length;
        snappy_first_ = body + snappy_min_body(length->value);
        snappy_last_ = body + kSnappyMostBytesPerByte * length->value;
    }

    Bytes table_;
    const std::uint8_t* base_;
    std::uint64_t n_;
    FunctionRef<bool(const CarvedBlock&)> found_;

    std::uint64_t origin_ = 0;
    std::uint64_t floor_ = 0;  // no block starts before it
    // While chaining: the first and last positions where a Snappy block from
    // the origin may have its type byte.
    std::uint64_t snappy_first_ = UINT64_MAX;
    std::uint64_t snappy_last_ = 0;
    // While searching: where the chain broke, and where it had begun.
    std::uint64_t chain_broke_at_ = 0;
    std::uint64_t chain_origin_ = 0;
    CarveCost& cost_;
    InversePowers inverse_;
    OpenStarts open_;
    std::optional<std::uint32_t> floor_key_;
};

}  // namespace

void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found, crc32c::Method how, CarveCost* cost) {
    CarveCost ignored;
    Carver(table, found, cost != nullptr ? *cost : ignored).run(how);
}

}  // namespace tarnwick
