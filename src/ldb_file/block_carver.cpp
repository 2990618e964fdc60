#include "ldb_file/block_carver.hpp"

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

// For finding the bytes below 2 (possible type bytes) in a word.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

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

    void run() {
        if (n_ < BLOCK_TRAILER_SIZE) return;
        while (q_ + BLOCK_TRAILER_SIZE <= n_) {
            const std::uint64_t next_pending = pending_count_ != 0 ? pending_[pending_head_] : UINT64_MAX;
            if (q_ + 8 <= n_ && next_pending >= q_ + 8) {
                std::uint64_t word;
                std::memcpy(&word, base_ + q_, 8);
                if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
                if (!holds_candidate_end(word)) {
                    reg_ = crc32c::step8(reg_, word);
                    q_ += 8;
                    continue;
                }
            }
            if (next_pending == q_) {
                pending_head_ = (pending_head_ + 1) % pending_.size();
                --pending_count_;
                start_at(q_, ~reg_);
            }
            const std::uint8_t type = base_[q_];
            reg_ = crc32c::step(reg_, type);
            if (type > BLOCK_TYPE_SNAPPY || q_ == floor_ ||
                (type == BLOCK_TYPE_RAW && !raw_block_could_end(table_, q_, floor_))) {
                ++q_;
                continue;
            }
            const std::uint32_t stored = crc32c::unmask(read_fixed32(table_, static_cast<std::size_t>(q_ + 1)));
            if (end_at(q_, ~reg_ ^ stored, type)) {
                if (!rebase()) return;
                continue;
            }
            if (pending_count_ < pending_.size()) {
                pending_[(pending_head_ + pending_count_) % pending_.size()] = q_ + BLOCK_TRAILER_SIZE;
                ++pending_count_;
            }
            ++q_;
        }
        if (!searching_) flush();
    }

   private:
    // A candidate noted while the blocks follow one another: a start (its
    // value is the CRC from the origin to it) or an end (the CRC from the
    // origin through its type byte, plus the stored checksum).
    struct Noted {
        std::uint64_t pos;
        std::uint32_t value;
        std::uint8_t type;
        bool end;
    };

    // Whether one of the 8 bytes at q_ (given as `word`) is a candidate end,
    // where the register's value is needed. Most zero bytes of a raw block
    // are not: they pass 8 at a time.
    bool holds_candidate_end(std::uint64_t word) const noexcept {
        // Flags every byte below 2, and possibly bytes above one (a borrow):
        // each flagged byte is looked at again.
        std::uint64_t flags = (word - 2 * kOnes) & ~word & kHighs;
        while (flags != 0) {
            const std::uint64_t at = q_ + static_cast<std::uint64_t>(std::countr_zero(flags)) / 8;
            const std::uint8_t byte = base_[at];
            if (byte == BLOCK_TYPE_SNAPPY || (byte == BLOCK_TYPE_RAW && raw_block_could_end(table_, at, floor_))) {
                return true;
            }
            flags &= flags - 1;
        }
        return false;
    }

    // Key of a CRC from the origin to `pos`.
    std::uint32_t key_of(std::uint32_t value, std::uint64_t pos) { return crc32c::multiply(value, inverse_.at(pos - origin_)); }

    void start_at(std::uint64_t pos, std::uint32_t value) {
        if (!searching_) return note({pos, value, 0, false});
        if (pos == floor_) {
            floor_key_ = key_of(value, pos);
        } else if (pos > floor_) {
            open_.add(key_of(value, pos), pos);
        }
    }

    // True when the block ending at `pos` was taken.
    bool end_at(std::uint64_t pos, std::uint32_t value, std::uint8_t type) {
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

    void note(const Noted& noted) {
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

    // After a block taken at q_: the register is run to the start of the
    // next block, which becomes the origin. False at the end of the bytes.
    bool rebase() {
        pending_count_ = 0;
        if (floor_ + BLOCK_TRAILER_SIZE > n_) return false;
        q_ = floor_;
        origin_ = floor_;
        reg_ = ~0u;
        searching_ = false;
        noted_.clear();
        return true;
    }

    Bytes table_;
    const std::uint8_t* base_;
    std::uint64_t n_;
    FunctionRef<bool(const CarvedBlock&)> found_;

    std::uint64_t q_ = 0;
    std::uint32_t reg_ = ~0u;
    std::uint64_t origin_ = 0;
    std::uint64_t floor_ = 0;  // no block starts before it
    bool searching_ = false;
    std::vector<Noted> noted_;
    InversePowers inverse_;
    OpenStarts open_;
    std::optional<std::uint32_t> floor_key_;
    // Starts right after a candidate trailer that the pass has not reached
    // yet: at most one per byte of the 5 bytes behind, in rising order.
    std::array<std::uint64_t, 8> pending_{};
    std::size_t pending_head_ = 0, pending_count_ = 0;
};

}  // namespace

void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found) { Carver(table, found).run(); }

}  // namespace tarnwick
