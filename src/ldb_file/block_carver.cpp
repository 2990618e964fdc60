#include "ldb_file/block_carver.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "ldb_file/block.hpp"
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
// Nonzero when a byte of `word` may be below 2 (a type byte): every such
// byte is flagged, and at times a byte above one after it (a borrow).
constexpr std::uint64_t may_hold_type_byte(std::uint64_t word) noexcept {
    return (word - 0x0202020202020202ULL) & ~word & 0x8080808080808080ULL;
}
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

// One pass of the carver. The register runs over [origin, q): the CRC of the
// bytes since the origin, which is the start after the last block found,
// except while damage is being searched, when it stays where that search
// began so that all keys of the search share it.
class Carver {
   public:
    Carver(Bytes table, FunctionRef<bool(const CarvedBlock&)> found)
        : table_(table), base_(table.data()), n_(table.size()), found_(found) {}

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

    // The pass itself, written once for both ways of running the CRC (see
    // crc32c::SoftwareSteps): inlined into each caller, so that the steps
    // inline into a loop compiled for the instruction.
    template <class Steps>
    [[gnu::always_inline]] inline void scan() {
        // The position and the register live in locals, so that the loop
        // keeps them in registers: the register's chain of 8-byte steps is
        // what bounds the pass, and nothing else waits on it. A candidate's
        // register is worked out beside that chain, from the register
        // before its word (crc32c::step_first).
        std::uint64_t q = 0;
        std::uint32_t reg = ~0u;
        while (q + BLOCK_TRAILER_SIZE <= n_) {
            // Most words hold no byte below 2 (no type byte) and pass in
            // pairs without a look at their bytes.
            while (q + 16 <= n_) {
                const std::uint64_t first = load_word(q), second = load_word(q + 8);
                if ((may_hold_type_byte(first) | may_hold_type_byte(second)) != 0) break;
                reg = Steps::step8(Steps::step8(reg, first), second);
                q += 16;
            }
            // Words may have run past the last byte a type byte can be at.
            if (q + BLOCK_TRAILER_SIZE > n_) break;
            Next next = Next::On;
            if (q + 8 <= n_) {
                const std::uint64_t word = load_word(q);
                for (std::uint64_t ends = candidate_ends(word, q); ends != 0 && next == Next::On; ends &= ends - 1) {
                    const auto k = static_cast<unsigned>(std::countr_zero(ends)) / 8;
                    next = candidate<Steps>(q + k, crc32c::step_first<Steps>(reg, word, k + 1));
                }
                if (next == Next::On) {
                    reg = Steps::step8(reg, word);
                    q += 8;
                    continue;
                }
            } else {
                // The last bytes, fewer than a word, one at a time.
                reg = Steps::step(reg, base_[q]);
                if (is_candidate_end(q)) next = candidate<Steps>(q, reg);
                ++q;
            }
            if (next == Next::Stop) return;
            if (next == Next::Restart) {
                // The next block starts at the origin, with a fresh register.
                q = origin_;
                reg = ~0u;
            }
        }
        if (!searching_) flush();
    }

    // A candidate end: the type byte's position, the CRC from the origin
    // through it plus the checksum stored after it (0 exactly when the
    // stretch from the origin is the block), and the CRC from the origin
    // through that checksum (that of the start right after the trailer, a
    // candidate start: the trailer of a damaged block still sits where it
    // did, so the block after it is found).
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

    // Whether the byte at `pos` is a candidate end: a Snappy type byte, or
    // the raw type byte (zero) where a restart array could end, with room
    // for a trailer after it and a block of at least one byte before it.
    bool is_candidate_end(std::uint64_t pos) const noexcept {
        if (pos + BLOCK_TRAILER_SIZE > n_ || pos <= floor_) return false;
        const std::uint8_t type = base_[pos];
        return type == BLOCK_TYPE_SNAPPY || (type == BLOCK_TYPE_RAW && raw_block_could_end(table_, pos, floor_));
    }

    // The candidate ends among the 8 bytes at q (given as `word`), as the
    // high bit of each such byte: is_candidate_end for all of them at once.
    // Most zero bytes of a raw block fail the restart array's test.
    std::uint64_t candidate_ends(std::uint64_t word, std::uint64_t q) const noexcept {
        std::uint64_t ends = bytes_equal(word, BLOCK_TYPE_SNAPPY);
        for (std::uint64_t raw = bytes_equal(word, BLOCK_TYPE_RAW); raw != 0; raw &= raw - 1) {
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

    // The candidate end at `pos`, with `reg` the register through its type
    // byte. While the blocks follow one another it ends the block from the
    // origin when the CRC matches, and is noted otherwise; while searching
    // it is tested against the starts kept.
    template <class Steps>
    [[gnu::always_inline]] inline Next candidate(std::uint64_t pos, std::uint32_t reg) {
        const std::uint32_t checksum = read_fixed32(table_, static_cast<std::size_t>(pos + 1));
        const Candidate found{pos, ~reg ^ crc32c::unmask(checksum), ~Steps::step4(reg, checksum)};
        const bool taken = searching_ ? search(found) : chain(found);
        if (!taken) return Next::On;
        return rebase() ? Next::Restart : Next::Stop;
    }

    // True when the block from the origin ends at the candidate and was
    // taken; the candidate is noted otherwise.
    [[gnu::always_inline]] inline bool chain(const Candidate& c) {
        if (c.end_value == 0 && take(floor_, c.pos, base_[c.pos])) return true;
        // Stored field by field: a copy of the whole would wait for the
        // parts just written.
        Candidate& slot = noted_[noted_count_];
        slot.pos = c.pos;
        slot.end_value = c.end_value;
        slot.start_value = c.start_value;
        if (++noted_count_ == kMaxOpenStarts) flush();
        return false;
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

    // The blocks no longer follow one another (or the file ended): every
    // candidate noted since the origin is searched for blocks, and the pass
    // goes on searching.
    void flush() {
        searching_ = true;
        // The start at the origin: the CRC from the origin to it is that of
        // no bytes, 0, whose key is 0.
        if (floor_ == origin_) floor_key_ = 0;
        for (std::size_t i = 0; i < noted_count_; ++i) search(noted_[i]);
        noted_count_ = 0;
    }

    // After a block taken: the start of the next block becomes the origin,
    // where the pass goes on. False at the end of the bytes.
    bool rebase() {
        if (floor_ + BLOCK_TRAILER_SIZE > n_) return false;
        origin_ = floor_;
        searching_ = false;
        noted_count_ = 0;
        return true;
    }

    Bytes table_;
    const std::uint8_t* base_;
    std::uint64_t n_;
    FunctionRef<bool(const CarvedBlock&)> found_;

    std::uint64_t origin_ = 0;
    std::uint64_t floor_ = 0;  // no block starts before it
    bool searching_ = false;
    // The candidates noted since the origin while the blocks follow one
    // another (left uninitialised: only the first noted_count_ are used).
    std::unique_ptr<Candidate[]> noted_{new Candidate[kMaxOpenStarts]};
    std::size_t noted_count_ = 0;
    InversePowers inverse_;
    OpenStarts open_;
    std::optional<std::uint32_t> floor_key_;
};

}  // namespace

void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found, crc32c::Method how) {
    Carver(table, found).run(how);
}

}  // namespace tarnwick
