// The history of every key of one store: which version of a key is current,
// superseded, the last before a deletion, or a deletion, decided while the
// records stream past.
//
// A logical key is one exact user key of one store (Chromium writes each key
// in one canonical byte form). Its versions are ordered by sequence number;
// records of unknown state are labelled unknown and do not break the chain.
// A record that sits in two files (a log and the table made from it) is one
// version, given one row.
//
// The first pass shows every record (`learn`); the second asks, record by
// record in the same order, for its label (`verdict`). Most keys have one
// record, whose label follows from its own state: only keys met more than
// once are remembered, with every record after their first. Memory grows
// with the records of such keys (a few words each, found by a hash seeded
// per run, so that keys a page chose cannot collide on purpose), and while
// the first pass runs by two to three bytes per distinct key; never with the
// values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "chromium_store/decoded_row.hpp"
#include "db/record.hpp"
#include "util/bytes.hpp"

namespace tarnwick::chromium {

// Where a record lies: the index of its file in reading order, and its offset.
struct RecordPlace {
    std::uint32_t file = 0;
    std::uint64_t offset = 0;
    friend bool operator==(const RecordPlace&, const RecordPlace&) = default;
};

struct VersionVerdict {
    // False: no row for this record (a second copy of a version already given
    // a row, or, newest-only, not the version that stands for its key).
    bool emit = false;
    VersionStatus status = VersionStatus::None;
    // Newest-only, for a key whose newest version is a deletion: the row is
    // made at the last live version before it (which carries the key and the
    // deleted value) and stands for the deletion marker, whose sequence
    // number and place are these. The row's details say value_from_seq.
    std::optional<std::uint64_t> deletion_seq;
    std::optional<RecordPlace> deletion_place;
};

class VersionLabels {
   public:
    // `newest_only`: one row per key (its newest known version; for a deleted
    // key the deletion marker with the last value the files still hold);
    // otherwise every version, labelled.
    explicit VersionLabels(bool newest_only);
    // With the filter of keys met before sized as given (seen_filter.hpp):
    // tests make it tiny, so that most keys look met before.
    VersionLabels(bool newest_only, std::size_t filter_first_capacity, unsigned filter_bits_per_hash);
    ~VersionLabels();
    VersionLabels(const VersionLabels&) = delete;
    VersionLabels& operator=(const VersionLabels&) = delete;

    void learn(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place);
    void learned();
    [[nodiscard]] VersionVerdict verdict(Bytes user_key, std::uint64_t seq, KeyState state, RecordPlace place);

   private:
    class Index;
    std::unique_ptr<Index> index_;
};

}  // namespace tarnwick::chromium
