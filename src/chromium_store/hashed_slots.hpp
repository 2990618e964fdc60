// A table of small values found by a keyed 64-bit hash (keyed_hash.hpp),
// held in one array of slots, with no allocation per entry: open addressing,
// a hash's home slot taken from its top bits scaled to the table, then the
// next slots in turn. It grows by half when it is four fifths full, so a
// search ends after a few slots and an entry takes between 1.25 and 1.9
// slots.
//
// The hashes stand for the keys: two keys of one hash are one entry. The
// tables that use it say why that is accepted (a hash under a secret key
// that a page cannot steer). Hash 0 marks an empty slot; a key whose hash is
// 0 is kept as 1.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnwick::chromium {

template <class Value>
class HashedSlots {
   public:
    struct Slot {
        std::uint64_t hash = empty;
        Value value{};
    };

    // The value kept for `hash`, or null.
    [[nodiscard]] Value* find(std::uint64_t hash) noexcept {
        if (slots_.empty()) return nullptr;
        Slot& slot = slots_[index_of(stored(hash))];
        return slot.hash == empty ? nullptr : &slot.value;
    }
    [[nodiscard]] const Value* find(std::uint64_t hash) const noexcept {
        return const_cast<HashedSlots*>(this)->find(hash);
    }

    // The value kept for `hash`, made (value-initialised) when there was
    // none; second: whether it was made now. The reference lasts until the
    // next insert.
    std::pair<Value&, bool> insert(std::uint64_t hash) {
        if ((used_ + 1) * 5 > slots_.size() * 4) grow();
        const std::uint64_t h = stored(hash);
        Slot& slot = slots_[index_of(h)];
        if (slot.hash != empty) return {slot.value, false};
        slot.hash = h;
        ++used_;
        return {slot.value, true};
    }

    [[nodiscard]] std::size_t size() const noexcept { return used_; }
    [[nodiscard]] std::size_t bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

   private:
    static constexpr std::uint64_t empty = 0;
    static constexpr std::size_t min_capacity = 16;

    __extension__ using uint128 = unsigned __int128;

    static constexpr std::uint64_t stored(std::uint64_t hash) noexcept { return hash == empty ? 1 : hash; }

    // The slot holding `hash`, or the empty slot where it would go.
    [[nodiscard]] std::size_t index_of(std::uint64_t hash) const noexcept {
        std::size_t i = static_cast<std::size_t>((static_cast<uint128>(hash) * slots_.size()) >> 64);
        while (slots_[i].hash != empty && slots_[i].hash != hash) {
            if (++i == slots_.size()) i = 0;
        }
        return i;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max(min_capacity, old.size() + old.size() / 2), Slot{});
        for (Slot& slot : old) {
            if (slot.hash != empty) slots_[index_of(slot.hash)] = std::move(slot);
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace tarnwick::chromium
