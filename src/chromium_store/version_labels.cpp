// The version labels, kept compactly.
//
// Keys are known by a 64-bit SipHash of their bytes under a key drawn per
// VersionLabels (keyed_hash.hpp), never by the bytes themselves. Most keys
// of a store have one record; such a key costs one 16-byte slot of an
// open-addressing table: its hash, and its one record's sequence number and
// state. The table grows by half when it is four fifths full, so a key
// takes 20 to 30 bytes of it. A key with more records moves to a side table
// that keeps every record (sequence number, state, place: 24 bytes each)
// and 24 bytes for the key; the records of all such keys lie in one array,
// each key's together, so that none costs an allocation of its own.
//
// Two distinct keys with the same hash would be taken for one key, and their
// versions labelled together: every version keeps its row in history mode
// (the engine gives no two writes one sequence number) but some would be
// mislabelled, and newest-only would show one of the two keys. Under a
// secret random key the hashes behave as
// random: among n distinct keys the chance of any such pair is about
// n^2 / 2^65 -- one in 37 million for a million keys, one in 3,700 for a
// hundred million. A page cannot raise it by choosing its keys, since it
// does not know the hash key. That risk is accepted for the memory saved:
// keeping the keys would cost their bytes, which a page chooses too.
//
// The second pass sees the records in the first pass's order, so the k-th
// verdict asked for a key is about the key's k-th record: the side table
// keeps each key's records in the order they came and a cursor through
// them. The first record of a key that moved to the side table came while
// it had one slot, which keeps no place; the first verdict for the key fills
// it in, before any later record of the key could need it. (A key of more
// than 2^32 records, which no store holds, keeps its first 2^32; the rest
// are labelled by their own state.)

#include <algorithm>
#include <deque>
#include <limits>
#include <span>
#include <vector>

#include "chromium_store/keyed_hash.hpp"
#include "chromium_store/version_labels.hpp"

namespace tarnwick::chromium {

namespace {

// Deletions sort before other records of the same sequence number.
constexpr int state_rank(KeyState state) noexcept { return state == KeyState::Deleted ? 0 : 1; }
constexpr bool is_known(KeyState state) noexcept { return state == KeyState::Live || state == KeyState::Deleted; }

// The label of a key's only record.
constexpr VersionStatus single_status(KeyState state) noexcept {
    switch (state) {
        case KeyState::Live:
            return VersionStatus::Current;
        case KeyState::Deleted:
            return VersionStatus::Deleted;
        default:
            return VersionStatus::Unknown;
    }
}

__extension__ using uint128 = unsigned __int128;

}  // namespace

class VersionLabels::Index {
   public:
    explicit Index(bool newest_only) : newest_only_(newest_only), hash_key_(random_hash_key()) {}

    void learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place);
    void learned();
    VersionVerdict verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place);

   private:
    // A slot's word: for a key of one record, its sequence number shifted
    // past three bits that hold its state (two bits) and a clear flag bit;
    // for a key in the side table, the index of its history and the flag set.
    static constexpr std::uint64_t in_history = 1;
    static constexpr unsigned state_shift = 1;
    static constexpr std::uint64_t state_mask = 3;
    static constexpr unsigned payload_shift = 3;
    static constexpr std::uint64_t max_slot_seq = std::numeric_limits<std::uint64_t>::max() >> payload_shift;
    // An empty slot has hash 0; a key whose hash is 0 is stored as 1.
    static constexpr std::uint64_t empty = 0;
    static constexpr std::size_t min_capacity = 16;

    struct Slot {
        std::uint64_t hash = empty;
        std::uint64_t word = 0;
    };

    enum Flags : std::uint8_t { emit_flag = 1, carries_deletion_flag = 2 };

    struct Version {
        std::uint64_t seq;
        std::uint64_t offset;
        std::uint32_t file;
        KeyState state;
        VersionStatus status = VersionStatus::None;
        std::uint8_t flags = 0;

        [[nodiscard]] RecordPlace place() const noexcept { return {file, offset}; }
    };

    // A key in the side table: where its versions lie in versions_ (in the
    // order the records came) and how many there are.
    struct History {
        std::uint64_t begin = 0;
        std::uint32_t count = 0;
        std::uint32_t cursor = 0;  // the second pass's next record
        // Newest-only: the deletion (its index among the key's versions)
        // that the version flagged carries_deletion stands for.
        std::uint32_t deletion = 0;
    };

    [[nodiscard]] std::uint64_t hash_of(Bytes user_key) const noexcept {
        const std::uint64_t h = siphash24(hash_key_, user_key);
        return h == empty ? 1 : h;
    }
    // The slot holding `hash`, or the empty slot where it would go.
    [[nodiscard]] std::size_t find(std::uint64_t hash) const noexcept;
    void grow();
    void add_version(std::uint64_t history, const Version& version);
    void label(History& history);

    bool newest_only_;
    // The passes in their order: a record learned late, or a verdict asked
    // early, is taken alone rather than read from a table not laid out.
    bool learned_ = false;
    HashKey hash_key_;
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::vector<History> histories_;
    // While learning: the versions of the keys in the side table as they
    // come, and the key of each. (Deques: they grow without moving what
    // they hold.)
    std::deque<Version> arriving_;
    std::deque<std::uint64_t> arriving_history_;
    // Scratch of label(), kept between keys.
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> unique_;
    // From learned() on: every history's versions, each key's together.
    std::vector<Version> versions_;
};

void VersionLabels::Index::add_version(std::uint64_t history, const Version& version) {
    History& h = histories_[history];
    if (h.count == std::numeric_limits<std::uint32_t>::max()) return;
    ++h.count;
    arriving_.push_back(version);
    arriving_history_.push_back(history);
}

std::size_t VersionLabels::Index::find(std::uint64_t hash) const noexcept {
    // The hash's top bits scaled to the table (any capacity, not only powers
    // of two), then the next slots in turn.
    std::size_t i = static_cast<std::size_t>((static_cast<uint128>(hash) * slots_.size()) >> 64);
    while (slots_[i].hash != empty && slots_[i].hash != hash) {
        if (++i == slots_.size()) i = 0;
    }
    return i;
}

void VersionLabels::Index::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max(min_capacity, old.size() + old.size() / 2), Slot{});
    for (const Slot& slot : old) {
        if (slot.hash != empty) slots_[find(slot.hash)] = slot;
    }
}

void VersionLabels::Index::learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    if (learned_) return;
    // At most four fifths full, so that a search ends after a few slots.
    if ((used_ + 1) * 5 > slots_.size() * 4) grow();
    const std::uint64_t hash = hash_of(user_key);
    Slot& slot = slots_[find(hash)];
    const Version version{seq, place.offset, place.file, state};
    if (slot.hash == empty) {
        slot.hash = hash;
        ++used_;
        if (seq <= max_slot_seq) {
            slot.word = (seq << payload_shift) | (static_cast<std::uint64_t>(state) << state_shift);
            return;
        }
        // A sequence number too large for the slot (only a damaged log has
        // one): the key goes to the side table from its first record.
        slot.word = (static_cast<std::uint64_t>(histories_.size()) << payload_shift) | in_history;
        histories_.emplace_back();
        add_version(histories_.size() - 1, version);
        return;
    }
    if ((slot.word & in_history) != 0) {
        add_version(slot.word >> payload_shift, version);
        return;
    }
    // The key's second record: both move to the side table. The first one's
    // place is filled in by the second pass.
    const Version first{slot.word >> payload_shift, 0, 0,
                        static_cast<KeyState>((slot.word >> state_shift) & state_mask)};
    slot.word = (static_cast<std::uint64_t>(histories_.size()) << payload_shift) | in_history;
    histories_.emplace_back();
    add_version(histories_.size() - 1, first);
    add_version(histories_.size() - 1, version);
}

void VersionLabels::Index::learned() {
    if (learned_) return;
    learned_ = true;
    // Each key's versions together, in the order they came: the cursor
    // counts those placed so far.
    std::uint64_t begin = 0;
    for (History& h : histories_) {
        h.begin = begin;
        begin += h.count;
    }
    versions_.resize(begin);
    for (std::size_t i = 0; i < arriving_.size(); ++i) {
        History& h = histories_[arriving_history_[i]];
        versions_[h.begin + h.cursor++] = arriving_[i];
    }
    std::deque<Version>().swap(arriving_);
    std::deque<std::uint64_t>().swap(arriving_history_);
    for (History& h : histories_) {
        h.cursor = 0;
        label(h);
    }
}

// The labels of one key's records: ordered by sequence number (a deletion
// before a value of the same number, otherwise in the order they came), a
// second record of the same number and state dropped as a copy of the first
// (a log and the table made from it), then
//   deleted               a deletion
//   current               the newest value
//   last_before_deletion  a value that a deletion follows
//   superseded            a value that another value replaced
//   unknown               a record of unknown state, which is skipped over
// Newest-only, only the newest version makes a row; a deleted key's row is
// made at its last value and stands for the deletion.
void VersionLabels::Index::label(History& history) {
    const std::span<Version> versions(versions_.data() + history.begin, history.count);
    std::vector<std::uint32_t>& order = order_;
    order.resize(versions.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    // The index breaks ties: records that compare equal stay in the order they came.
    std::ranges::sort(order, [&versions](std::uint32_t a, std::uint32_t b) {
        const Version& x = versions[a];
        const Version& y = versions[b];
        if (x.seq != y.seq) return x.seq < y.seq;
        if (state_rank(x.state) != state_rank(y.state)) return state_rank(x.state) < state_rank(y.state);
        return a < b;
    });
    // The distinct versions in order. Records of one sequence number lie
    // together; a mask of the states seen among them finds the copies.
    std::vector<std::uint32_t>& unique = unique_;
    unique.clear();
    unsigned seen_states = 0;
    for (std::size_t n = 0; n < order.size(); ++n) {
        const Version& v = versions[order[n]];
        if (n == 0 || versions[order[n - 1]].seq != v.seq) seen_states = 0;
        const unsigned bit = 1U << static_cast<unsigned>(v.state);
        if ((seen_states & bit) != 0) continue;
        seen_states |= bit;
        unique.push_back(order[n]);
    }
    // Labels along the known versions; the index of the known version after
    // each is what decides a value's label.
    std::uint32_t last_known = 0;
    bool any_known = false;
    for (std::size_t n = unique.size(); n-- > 0;) {
        Version& v = versions[unique[n]];
        if (!is_known(v.state)) {
            v.status = VersionStatus::Unknown;
        } else if (v.state == KeyState::Deleted) {
            v.status = VersionStatus::Deleted;
        } else if (!any_known) {
            v.status = VersionStatus::Current;
        } else {
            v.status = versions[last_known].state == KeyState::Deleted ? VersionStatus::LastBeforeDeletion
                                                                       : VersionStatus::Superseded;
        }
        if (is_known(v.state)) {
            last_known = unique[n];
            any_known = true;
        }
    }
    if (!newest_only_) {
        for (const std::uint32_t i : unique) versions[i].flags |= emit_flag;
        return;
    }
    // The newest known version, or the newest of all when none is known.
    std::uint32_t newest = unique.back();
    for (std::size_t n = unique.size(); n-- > 0;) {
        if (is_known(versions[unique[n]].state)) {
            newest = unique[n];
            break;
        }
    }
    if (versions[newest].state == KeyState::Deleted) {
        for (std::size_t n = unique.size(); n-- > 0;) {
            Version& v = versions[unique[n]];
            if (v.state == KeyState::Live) {
                v.flags |= emit_flag | carries_deletion_flag;
                history.deletion = newest;
                return;
            }
        }
    }
    versions[newest].flags |= emit_flag;
}

VersionVerdict VersionLabels::Index::verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    // A record the first pass did not see has only its own state to go by.
    const VersionVerdict alone{true, single_status(state), std::nullopt, std::nullopt};
    if (!learned_ || slots_.empty()) return alone;
    const Slot& slot = slots_[find(hash_of(user_key))];
    if (slot.hash == empty || (slot.word & in_history) == 0) return alone;
    History& history = histories_[slot.word >> payload_shift];
    if (history.cursor >= history.count) return alone;
    Version& v = versions_[history.begin + history.cursor];
    if (v.seq != seq || v.state != state) return alone;
    if (history.cursor == 0) {
        v.offset = place.offset;
        v.file = place.file;
    }
    ++history.cursor;
    VersionVerdict out{(v.flags & emit_flag) != 0, v.status, std::nullopt, std::nullopt};
    if ((v.flags & carries_deletion_flag) != 0) {
        const Version& deletion = versions_[history.begin + history.deletion];
        out.status = VersionStatus::Deleted;
        out.deletion_seq = deletion.seq;
        out.deletion_place = deletion.place();
    }
    return out;
}

VersionLabels::VersionLabels(bool newest_only) : index_(std::make_unique<Index>(newest_only)) {}
VersionLabels::~VersionLabels() = default;

void VersionLabels::learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    index_->learn(user_key, seq, state, place);
}

void VersionLabels::learned() { index_->learned(); }

VersionVerdict VersionLabels::verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    return index_->verdict(user_key, seq, state, place);
}

}  // namespace tarnwick::chromium
