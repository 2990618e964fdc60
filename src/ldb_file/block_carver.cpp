#include "ldb_file/block_carver.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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

    // The pass itself, written once for both ways of running the CRC (see
    // crc32c::SoftwareSteps): inlined into each caller, so that the steps
    // inline into a loop compiled for the instruction.
    template <class Steps>
    [[gnu::always_inline]] inline void scan() {
        // The position and the register live in locals, so that the loop
        // keeps them in registers: the register's chain of steps is what
        // bounds the pass.
        std::uint64_t q = 0;
        std::uint32_t reg = ~0u;
        while (q + BLOCK_TRAILER_SIZE <= n_) {
            // The bytes before the next candidate end need no look at the
            // register. Most words hold no byte below 2 at all, and pass in
            // pairs; the others are looked at byte by byte for candidates,
            // and pass whole when they hold none; the bytes before a
            // candidate pass one step each.
            while (q + 16 <= n_) {
                const std::uint64_t first = load_word(q), second = load_word(q + 8);
                if ((may_hold_type_byte(first) | may_hold_type_byte(second)) != 0) break;
                reg = Steps::step8(Steps::step8(reg, first), second);
                q += 16;
            }
            if (q + BLOCK_TRAILER_SIZE > n_) break;
            if (q + 8 <= n_) {
                const std::uint64_t word = load_word(q);
                const std::uint64_t plain = first_candidate_end(word, q);
                if (plain == 8) {
                    reg = Steps::step8(reg, word);
                    q += 8;
                    continue;
                }
                for (std::uint64_t i = 0; i < plain; ++i) reg = Steps::step(reg, base_[q + i]);
                q += plain;
                // No trailer fits after a candidate this close to the end.
                if (q + BLOCK_TRAILER_SIZE > n_) break;
            }
            const std::uint8_t type = base_[q];
            reg = Steps::step(reg, type);
            if (type > BLOCK_TYPE_SNAPPY || q == floor_ ||
                (type == BLOCK_TYPE_RAW && !raw_block_could_end(table_, q, floor_))) {
                ++q;
                continue;
            }
            const std::uint32_t checksum = read_fixed32(table_, static_cast<std::size_t>(q + 1));
            if (end_at(q, ~reg ^ crc32c::unmask(checksum), type)) {
                if (!rebase()) return;
                // The next block starts at the origin, with a fresh register.
                q = origin_;
                reg = ~0u;
                continue;
            }
            // The start right after this trailer, noted now: the register
            // there is this one run over the four checksum bytes, so the pass
            // need not stop at it. The bytes between are still looked at as
            // candidate ends in their turn.
            const std::uint64_t after = q + BLOCK_TRAILER_SIZE;
            if (after + BLOCK_TRAILER_SIZE <= n_) start_at(after, ~Steps::step4(reg, checksum));
            ++q;
        }
        if (!searching_) flush();
    }

    // A candidate noted while the blocks follow one another: a start (its
    // value is the CRC from the origin to it) or an end (the CRC from the
    // origin through its type byte, plus the stored checksum).
    struct Noted {
        std::uint64_t pos;
        std::uint32_t value;
        std::uint8_t type;
        bool end;
    };

    // The 8 bytes at q as one little-endian word.
    std::uint64_t load_word(std::uint64_t q) const noexcept {
        std::uint64_t word;
        std::memcpy(&word, base_ + q, 8);
        if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
        return word;
    }

    // Where the first candidate end lies among the 8 bytes at q (given as
    // `word`), as an offset from q; 8 when none does. A Snappy type byte
    // always is one; the raw type byte (zero) only where a restart array
    // could end, which most zero bytes of a raw block fail: they pass 8 at a
    // time.
    std::uint64_t first_candidate_end(std::uint64_t word, std::uint64_t q) const noexcept {
        const std::uint64_t snappy = bytes_equal(word, BLOCK_TYPE_SNAPPY);
        const std::uint64_t first = snappy != 0 ? static_cast<std::uint64_t>(std::countr_zero(snappy)) / 8 : 8;
        // Only the zero bytes before the first Snappy type byte matter.
        const std::uint64_t before = first < 8 ? (std::uint64_t{1} << (first * 8)) - 1 : ~std::uint64_t{0};
        std::uint64_t raw = bytes_equal(word, BLOCK_TYPE_RAW) & before;
        while (raw != 0) {
            const std::uint64_t offset = static_cast<std::uint64_t>(std::countr_zero(raw)) / 8;
            if (raw_block_could_end(table_, q + offset, floor_)) return offset;
            raw &= raw - 1;
        }
        return first;
    }

    // Key of a CRC from the origin to `pos`.
    std::uint32_t key_of(std::uint32_t value, std::uint64_t pos) { return crc32c::multiply(value, inverse_.at(pos - origin_)); }

    [[gnu::always_inline]] inline void start_at(std::uint64_t pos, std::uint32_t value) {
        if (!searching_) return note({pos, value, 0, false});
        if (pos == floor_) {
            floor_key_ = key_of(value, pos);
        } else if (pos > floor_) {
            open_.add(key_of(value, pos), pos);
        }
    }

    // True when the block ending at `pos` was taken.
    [[gnu::always_inline]] inline bool end_at(std::uint64_t pos, std::uint32_t value, std::uint8_t type) {
        if (!searching_) {
            // The blocks so far lie back to back: the one after the last
            // starts at the origin, and the CRC since then is the register.
            if (value == 0 && take(floor_, pos, type)) return true;
            note({pos, value, type, true});
            return false;
        }
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

    [[gnu::always_inline]] inline void note(const Noted& noted) {
        noted_.push_back(noted);
        if (noted_.size() >= kMaxOpenStarts) flush();
    }

    // The blocks no longer follow one another (or the file ended): every
    // candidate noted since the origin is searched for blocks, and the pass
    // goes on searching.
    void flush() {
        searching_ = true;
        // The start at the origin: the CRC from the origin to it is that of
        // no bytes, 0, whose key is 0.
        if (floor_ == origin_) floor_key_ = 0;
        for (const Noted& noted : noted_) {
            if (noted.end) {
                end_at(noted.pos, noted.value, noted.type);
            } else {
                start_at(noted.pos, noted.value);
            }
        }
        noted_.clear();
    }

    // After a block taken: the start of the next block becomes the origin,
    // where the pass goes on. False at the end of the bytes.
    bool rebase() {
        if (floor_ + BLOCK_TRAILER_SIZE > n_) return false;
        origin_ = floor_;
        searching_ = false;
        noted_.clear();
        return true;
    }

    Bytes table_;
    const std::uint8_t* base_;
    std::uint64_t n_;
    FunctionRef<bool(const CarvedBlock&)> found_;

    std::uint64_t origin_ = 0;
    std::uint64_t floor_ = 0;  // no block starts before it
    bool searching_ = false;
    std::vector<Noted> noted_;
    InversePowers inverse_;
    OpenStarts open_;
    std::optional<std::uint32_t> floor_key_;
};

}  // namespace

void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found, crc32c::Method how) {
    Carver(table, found).run(how);
}

}  // namespace tarnwick
