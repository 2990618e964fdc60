// When each Local Storage record was committed.
//
// Chromium writes a page's Local Storage changes in batches: one LevelDB
// write batch holds the changed keys and values (and deletions) of one
// storage key, then METAACCESS:<storage key>, when the batch also records a
// read, and last META:<storage key>, whose last_modified is the time of the
// commit. Entries of a batch take consecutive sequence numbers in their
// order, so the batch's META has the highest of them, and a data record
// belongs to the META version of its storage key with the smallest sequence
// number at or above its own. (The profile in tests/fixtures shows it: data
// records 2 to 10, METAACCESS 11, META 12; then 16 to 18 and META 19.)
// Attributing a record to the META before it instead dates it to the
// previous commit, a minute or more early.
//
// Whatever the batches, a META version with a sequence number at or above a
// record's was written no earlier than the record, so the time is never
// too early: it is the record's own commit when its batch ended in a META,
// as Chromium's batches do, and otherwise a later commit's.
//
// Memory grows with the META versions, not with the records.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/record.hpp"

namespace tarnwick::chromium {

// A commit's time as rows give it.
struct CommitTime {
    std::int64_t us;       // microseconds since 1601
    std::string iso_json;  // windows_us_iso() as a JSON string, or null
};

class LocalStorageCommits {
   public:
    // Every record of the store, in the first pass; only META records count.
    void learn(const RecordView& record);
    void learned();

    // The last_modified time of the commit that wrote the record with
    // sequence number `seq` under `storage_key`: its META version's, when
    // the files hold that version and its time.
    [[nodiscard]] const CommitTime* commit_time(std::string_view storage_key, std::uint64_t seq);

   private:
    struct MetaVersion {
        std::uint64_t seq;
        // None for a deleted META (the area was removed in that batch) or
        // one whose time cannot be read: its batch's records get no time
        // rather than a later commit's. The text is made once per version
        // in learned(), not once per record.
        std::optional<CommitTime> time;
    };
    using Versions = std::vector<MetaVersion>;
    // By storage key (raw bytes); the versions by sequence number after learned().
    std::map<std::string, Versions, std::less<>> versions_;
    // The storage key asked for last (a view of the map's own copy) and its
    // versions: consecutive records mostly share their storage key.
    std::string_view last_key_;
    const Versions* last_versions_ = nullptr;
};

}  // namespace tarnwick::chromium
