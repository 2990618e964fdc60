// The version labels, kept compactly.
//
// Keys are known by a 64-bit SipHash of their bytes under a key drawn per
// VersionLabels (keyed_hash.hpp), never by the bytes themselves. Most keys
// of a store have one record, and the label of a key's only record follows
// from its own state: such a key needs nothing at verdict time. So the first
// pass puts every key's hash into a filter of hashes met before
// (seen_filter.hpp, two to three bytes a key, freed once the pass is over), and
// remembers a record only when its key looks met before: every record of a
// key after its first. The records remembered (sequence number, state,
// place: 24 bytes each) lie in one array, each key's linked in the order
// they came, and a table of the keys met again (16-byte slots,
// hashed_slots.hpp) holds where each key's list begins.
//
// The filter errs only one way: a key met for the first time may look met
// before (about one key in 60 of ten million), and then its first record is
// remembered as well. That costs memory, never a label: the second pass
// tells the two cases apart (below), and a key remembered with one record is
// labelled as a key of one record.
//
// The second pass sees the records in the first pass's order, so the k-th
// verdict asked for a key is about its k-th record, and the first one asked
// for a remembered key is about its first record: either the first one
// remembered, when it is the same record (sequence number, state, file and
// offset), or the one the first pass did not keep. That first verdict labels
// all the key's versions at once, the one not kept included; each later
// verdict takes the next version in the list. (One file holding the very
// same record twice at one place, which only damage makes, would have the
// second copy taken for the first; the first copy then gets the row and the
// second a row labelled by its own state.)
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
// Offsets are kept in 56 bits (files of 64 PiB do not occur), and at most
// 2^32 - 2 records are remembered in all; records beyond that are labelled
// by their own state.

#include <algorithm>
#include <deque>
#include <limits>
#include <vector>

#include "chromium_store/hashed_slots.hpp"
#include "chromium_store/keyed_hash.hpp"
#include "chromium_store/seen_filter.hpp"
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

}  // namespace

class VersionLabels::Index {
   public:
    Index(bool newest_only, std::size_t filter_first_capacity, unsigned filter_bits_per_hash)
        : newest_only_(newest_only),
          hash_key_(random_hash_key()),
          seen_(filter_first_capacity, filter_bits_per_hash) {}

    void learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place);
    void learned();
    VersionVerdict verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place);

   private:
    // Indexes into versions_; the two largest values are marks.
    static constexpr std::uint32_t no_version = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::uint32_t unlabelled = no_version - 1;
    static constexpr std::size_t max_versions = unlabelled;
    static constexpr unsigned offset_bits = 56;

    enum Flags : std::uint8_t {
        emit_flag = 1,
        // Newest-only: the last value of a deleted key, whose row stands for
        // the deletion; and that deletion.
        carries_deletion_flag = 2,
        carried_deletion_flag = 4,
    };

    struct Version {
        std::uint64_t seq = 0;
        std::uint64_t offset : offset_bits = 0;
        std::uint64_t state : 2 = 0;
        std::uint64_t status : 3 = 0;
        std::uint64_t flags : 3 = 0;
        std::uint32_t file = 0;
        // The key's next version in the order they came (while learning, the
        // one before: the list is turned round by its first verdict).
        std::uint32_t next = no_version;

        Version() = default;
        Version(std::uint64_t s, KeyState k, RecordPlace place)
            : seq(s), offset(place.offset), state(static_cast<std::uint8_t>(k)), file(place.file) {}

        [[nodiscard]] KeyState key_state() const noexcept { return static_cast<KeyState>(state); }
        [[nodiscard]] RecordPlace place() const noexcept { return {file, offset}; }
        [[nodiscard]] bool same_record(const Version& other) const noexcept {
            return seq == other.seq && state == other.state && file == other.file && offset == other.offset;
        }
    };
    static_assert(sizeof(Version) == 24);

    // A key met more than once: where its list of versions begins, and the
    // second pass's next version (unlabelled before its first verdict).
    struct Chain {
        std::uint32_t head = no_version;
        std::uint32_t cursor = unlabelled;
    };

    [[nodiscard]] std::uint64_t hash_of(Bytes user_key) const noexcept { return siphash24(hash_key_, user_key); }
    void turn_round(Chain& chain) noexcept;
    // Labels the key's versions; `missed`: its first record, which the
    // first pass did not keep.
    void label(Chain& chain, Version* missed);
    [[nodiscard]] VersionVerdict verdict_of(const Chain& chain, const Version& version) const;

    bool newest_only_;
    // The passes in their order: a record learned late, or a verdict asked
    // early, is taken alone rather than read from a table not laid out.
    bool learned_ = false;
    HashKey hash_key_;
    SeenFilter seen_;
    HashedSlots<Chain> chains_;
    // The versions of the keys met more than once. (A deque: it grows
    // without moving what it holds.)
    std::deque<Version> versions_;
    // Scratch of label(), kept between keys: a key's versions in the order
    // they came, where each lies in versions_, and orders of them.
    std::vector<Version> work_;
    std::vector<std::uint32_t> where_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> unique_;
};

void VersionLabels::Index::learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    if (learned_) return;
    const std::uint64_t hash = hash_of(user_key);
    // A key met for the first time is not kept: if it has no other record,
    // its label follows from its own state.
    if (!seen_.add(hash) || versions_.size() >= max_versions) return;
    Chain& chain = chains_.insert(hash).first;
    Version version(seq, state, place);
    version.next = chain.head;
    versions_.push_back(version);
    chain.head = static_cast<std::uint32_t>(versions_.size() - 1);
}

void VersionLabels::Index::learned() {
    if (learned_) return;
    learned_ = true;
    seen_.clear();
}

void VersionLabels::Index::turn_round(Chain& chain) noexcept {
    std::uint32_t previous = no_version;
    std::uint32_t at = chain.head;
    while (at != no_version) {
        const std::uint32_t next = versions_[at].next;
        versions_[at].next = previous;
        previous = at;
        at = next;
    }
    chain.head = previous;
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
void VersionLabels::Index::label(Chain& chain, Version* missed) {
    std::vector<Version>& versions = work_;
    versions.clear();
    where_.clear();
    if (missed != nullptr) {
        versions.push_back(*missed);
        where_.push_back(no_version);
    }
    for (std::uint32_t at = chain.head; at != no_version; at = versions_[at].next) {
        versions.push_back(versions_[at]);
        where_.push_back(at);
    }
    std::vector<std::uint32_t>& order = order_;
    order.resize(versions.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    // The index breaks ties: records that compare equal stay in the order they came.
    std::ranges::sort(order, [&versions](std::uint32_t a, std::uint32_t b) {
        const Version& x = versions[a];
        const Version& y = versions[b];
        if (x.seq != y.seq) return x.seq < y.seq;
        const int rank_x = state_rank(x.key_state());
        const int rank_y = state_rank(y.key_state());
        if (rank_x != rank_y) return rank_x < rank_y;
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
        const KeyState state = v.key_state();
        VersionStatus status = VersionStatus::Unknown;
        if (state == KeyState::Deleted) {
            status = VersionStatus::Deleted;
        } else if (state == KeyState::Live) {
            if (!any_known) {
                status = VersionStatus::Current;
            } else {
                status = versions[last_known].key_state() == KeyState::Deleted ? VersionStatus::LastBeforeDeletion
                                                                                : VersionStatus::Superseded;
            }
        }
        v.status = static_cast<std::uint8_t>(status);
        if (is_known(state)) {
            last_known = unique[n];
            any_known = true;
        }
    }
    if (!newest_only_) {
        for (const std::uint32_t i : unique) versions[i].flags |= emit_flag;
    } else {
        // The newest known version, or the newest of all when none is known.
        std::uint32_t newest = unique.back();
        for (std::size_t n = unique.size(); n-- > 0;) {
            if (is_known(versions[unique[n]].key_state())) {
                newest = unique[n];
                break;
            }
        }
        std::uint32_t carrier = newest;
        if (versions[newest].key_state() == KeyState::Deleted) {
            for (std::size_t n = unique.size(); n-- > 0;) {
                if (versions[unique[n]].key_state() == KeyState::Live) {
                    carrier = unique[n];
                    versions[carrier].flags |= carries_deletion_flag;
                    versions[newest].flags |= carried_deletion_flag;
                    break;
                }
            }
        }
        versions[carrier].flags |= emit_flag;
    }
    for (std::size_t n = 0; n < versions.size(); ++n) {
        if (where_[n] == no_version) continue;
        versions_[where_[n]].status = versions[n].status;
        versions_[where_[n]].flags = versions[n].flags;
    }
    if (missed == nullptr) return;
    missed->status = versions.front().status;
    missed->flags = versions.front().flags;
    // A deletion that a later value's row stands for is looked up when that
    // row is made: the first record joins the list if it is that deletion.
    if ((missed->flags & carried_deletion_flag) != 0 && versions_.size() < max_versions) {
        Version kept = *missed;
        kept.next = chain.head;
        versions_.push_back(kept);
        chain.head = static_cast<std::uint32_t>(versions_.size() - 1);
    }
}

VersionVerdict VersionLabels::Index::verdict_of(const Chain& chain, const Version& version) const {
    VersionVerdict out{(version.flags & emit_flag) != 0, static_cast<VersionStatus>(version.status), std::nullopt,
                       std::nullopt};
    if ((version.flags & carries_deletion_flag) == 0) return out;
    for (std::uint32_t at = chain.head; at != no_version; at = versions_[at].next) {
        const Version& deletion = versions_[at];
        if ((deletion.flags & carried_deletion_flag) != 0) {
            out.status = VersionStatus::Deleted;
            out.deletion_seq = deletion.seq;
            out.deletion_place = deletion.place();
            break;
        }
    }
    return out;
}

VersionVerdict VersionLabels::Index::verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    // A record the first pass did not see, or a key met once, has only its
    // own state to go by.
    const VersionVerdict alone{true, single_status(state), std::nullopt, std::nullopt};
    if (!learned_) return alone;
    Chain* chain = chains_.find(hash_of(user_key));
    if (chain == nullptr) return alone;
    const Version record(seq, state, place);
    if (chain->cursor == unlabelled) {
        turn_round(*chain);
        chain->cursor = chain->head;
        if (!versions_[chain->head].same_record(record)) {
            Version missed = record;
            label(*chain, &missed);
            return verdict_of(*chain, missed);
        }
        label(*chain, nullptr);
    }
    if (chain->cursor == no_version) return alone;
    const Version& v = versions_[chain->cursor];
    if (v.seq != seq || v.key_state() != state) return alone;
    chain->cursor = v.next;
    return verdict_of(*chain, v);
}

VersionLabels::VersionLabels(bool newest_only)
    : VersionLabels(newest_only, SeenFilter::default_first_capacity, SeenFilter::default_bits_per_hash) {}
VersionLabels::VersionLabels(bool newest_only, std::size_t filter_first_capacity, unsigned filter_bits_per_hash)
    : index_(std::make_unique<Index>(newest_only, filter_first_capacity, filter_bits_per_hash)) {}
VersionLabels::~VersionLabels() = default;

void VersionLabels::learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    index_->learn(user_key, seq, state, place);
}

void VersionLabels::learned() { index_->learned(); }

VersionVerdict VersionLabels::verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place) {
    return index_->verdict(user_key, seq, state, place);
}

}  // namespace tarnwick::chromium
