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

// Whether a word holds a byte below 2, a possible type byte.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
inline bool has_type_byte(std::uint64_t word) noexcept { return ((word - 2 * kOnes) & ~word & kHighs) != 0; }

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

void carve_blocks(Bytes table, FunctionRef<bool(const CarvedBlock&)> found) {
    const std::uint64_t n = table.size();
    if (n < BLOCK_TRAILER_SIZE) return;
    const std::uint8_t* const base = table.data();

    InversePowers inverse;
    OpenStarts open;
    // The start right after the last block found (0 at first): kept apart, so
    // that a long block after it never pushes it out.
    std::uint64_t floor = 0;
    std::uint32_t floor_key = 0;  // C(0) * x^0
    // Starts right after a candidate trailer that the pass has not reached
    // yet: at most one per byte of the 5 bytes behind, in rising order.
    std::array<std::uint64_t, 8> pending{};
    std::size_t pending_head = 0, pending_count = 0;

    std::uint32_t reg = ~0u;  // complement of C(q)
    std::uint64_t q = 0;
    while (q + BLOCK_TRAILER_SIZE <= n) {
        const std::uint64_t next_pending = pending_count != 0 ? pending[pending_head] : UINT64_MAX;
        if (q + 8 <= n && next_pending >= q + 8) {
            std::uint64_t word;
            std::memcpy(&word, base + q, 8);
            if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
            if (!has_type_byte(word)) {
                reg = crc32c::step8(reg, word);
                q += 8;
                continue;
            }
        }
        if (next_pending == q) {
            pending_head = (pending_head + 1) % pending.size();
            --pending_count;
            if (q > floor) open.add(crc32c::multiply(~reg, inverse.at(q)), q);
        }
        const std::uint8_t type = base[q];
        reg = crc32c::step(reg, type);
        if (type > BLOCK_TYPE_SNAPPY || q == floor ||
            (type == BLOCK_TYPE_RAW && !raw_block_could_end(table, q, floor))) {
            ++q;
            continue;
        }
        // The contents would be [s, q); the checksum covers them and the type.
        const std::uint64_t end = q + 1;
        const std::uint32_t stored = crc32c::unmask(read_fixed32(table, static_cast<std::size_t>(end)));
        const std::uint32_t key = crc32c::multiply(~reg ^ stored, inverse.at(end));
        std::optional<std::uint64_t> start;
        if (key == floor_key) {
            start = floor;
        } else {
            start = open.find(key);
        }
        if (start && *start < q && *start >= floor && found(CarvedBlock{*start, q - *start, type})) {
            // The next block begins right after this one's trailer.
            floor = q + BLOCK_TRAILER_SIZE;
            open.clear();
            pending_count = 0;
            floor_key = 0;  // set once the pass reaches it
            if (floor + BLOCK_TRAILER_SIZE > n) return;
            // Run the CRC up to the new start, whose key is then known.
            while (q + 1 < floor) reg = crc32c::step(reg, base[++q]);
            ++q;
            floor_key = crc32c::multiply(~reg, inverse.at(q));
            continue;
        }
        if (pending_count < pending.size()) {
            pending[(pending_head + pending_count) % pending.size()] = q + BLOCK_TRAILER_SIZE;
            ++pending_count;
        }
        ++q;
    }
}

}  // namespace tarnwick
