// What an IndexedDB store's bookkeeping records say, learned in the first
// pass over the store: the schema version, database names (and their
// origins), object store and index names, the record version of each primary
// key's newest "exists" entry, and the external-object lists.
//
// Of every name the newest record that is not a deletion wins. Memory grows
// with the metadata, with the records that have external objects, and by a
// 24-byte slot (and a half, on average, of the table's room to spare) per
// primary key with an exists entry, never with plain data records: exists
// entries and lists are found by a keyed 64-bit hash of (database, object
// store, primary key bytes), the exists entries in one open-addressing table.
//
// Two facts the records only tell together:
// - Which external-object list belongs to which version of a record. A record
//   and its list are written in one batch, the record first, so the list of
//   the version at sequence number s is the nearest one after s that comes
//   before the record's next version; never another version's.
// - The name of a deleted database. Its name record (global metadata, type
//   201) carries the origin and the name in its KEY and only the id in its
//   value, which the deletion took; Chromium deletes a database's name and
//   all its metadata keys in one write batch, so a deleted name record whose
//   sequence number lies right by the deletions of a database's metadata
//   names that database -- when the pairing is unambiguous.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "chromium_store/hashed_slots.hpp"
#include "chromium_store/keyed_hash.hpp"
#include "db/record.hpp"

namespace tarnwick::chromium {

// Index ids of an object store's key prefix.
inline constexpr std::uint64_t idb_object_store_data = 1;
inline constexpr std::uint64_t idb_exists_entry = 2;
inline constexpr std::uint64_t idb_blob_entry = 3;
inline constexpr std::uint64_t idb_min_user_index = 30;

// Global metadata type bytes (database 0, object store 0, index 0).
enum GlobalType : std::uint8_t {
    global_schema_version = 0,
    global_max_database_id = 1,
    global_data_version = 2,
    global_recovery_journal = 3,
    global_active_journal = 4,
    global_earliest_sweep = 5,
    global_earliest_compaction = 6,
    global_scopes = 50,
    global_database_free_list = 100,
    global_database_name = 201,
};

// A database's metadata type bytes (object store 0, index 0).
enum DatabaseType : std::uint8_t {
    database_origin_name = 0,
    database_name_field = 1,
    database_string_version = 2,
    database_max_object_store_id = 3,
    database_version = 4,
    database_blob_key_generator = 5,
    database_object_store_meta = 50,
    database_index_meta = 100,
    database_object_store_free_list = 150,
    database_index_free_list = 151,
    database_object_store_names = 200,
    database_index_names = 201,
};
// The name field of object store and index metadata.
inline constexpr std::uint8_t metadata_name_field = 0;

struct DatabaseName {
    std::string name;  // WTF-8
    std::optional<std::string> origin;
    bool inferred = false;  // from the deletion of its name record
};

// The newest "exists" entry of a primary key.
struct ExistsEntry {
    std::uint64_t seq = 0;
    std::optional<std::uint64_t> record_version;  // none: the newest entry is a deletion
};

// The external-object list chosen for one version of a record.
struct ChosenList {
    std::uint64_t seq = 0;
    Bytes bytes;
};

// The newest version of a learned value, and its sequence number. A class
// of its own, not one nested in IdbMetadata: clang 19 cannot compile a nested
// class template's default member initializer under the sanitizers
// ("cannot compile this scalar expression yet"), and the sanitized builds use
// clang.
template <class T>
struct Newest {
    std::uint64_t seq = 0;
    T value{};
};

class IdbMetadata {
   public:
    // `exists_entries`: whether to learn them (only index entries' rows,
    // which say whether they are stale, need them).
    explicit IdbMetadata(bool exists_entries = true) : learn_exists_(exists_entries) {}

    void learn(const RecordView& record);
    void learned();

    [[nodiscard]] std::optional<std::uint64_t> schema_version() const;
    [[nodiscard]] const DatabaseName* database(std::uint64_t id) const;
    [[nodiscard]] const std::string* object_store(std::uint64_t db, std::uint64_t store) const;
    [[nodiscard]] const std::string* index(std::uint64_t db, std::uint64_t store, std::uint64_t index) const;
    // Nothing when the primary key has no exists entry at all, or when
    // exists entries are not learned.
    [[nodiscard]] std::optional<ExistsEntry> exists(std::uint64_t db, std::uint64_t store, Bytes primary_key) const;
    // The list of the record version at `seq`, if one was written with it;
    // `before`: of the version current just before `seq` (the one an undo
    // task written at `seq` restores).
    [[nodiscard]] std::optional<ChosenList> external_list(std::uint64_t db, std::uint64_t store, Bytes primary_key,
                                                          std::uint64_t seq, bool before = false) const;

   private:
    struct ListVersion {
        std::uint64_t seq = 0;
        std::vector<std::uint8_t> bytes;
    };
    struct Span {
        std::uint64_t low = 0;
        std::uint64_t high = 0;
    };
    // A primary key's newest exists entry: its sequence number shifted past
    // a flag bit, set when the entry holds a record version (a deletion, or
    // a value that does not parse, holds none), and the version.
    struct ExistsSlot {
        std::uint64_t seq_and_flag = 0;
        std::uint64_t record_version = 0;
    };
    struct DeletedName {
        std::uint64_t seq = 0;
        DatabaseName name;
    };

    void learn_global(Bytes key_rest, const RecordView& record);
    void learn_database(std::uint64_t db, Bytes key_rest, const RecordView& record);
    void learn_data(std::uint64_t db, std::uint64_t store, std::uint64_t index, Bytes primary_key,
                    const RecordView& record);
    void infer_deleted_names();

    bool learn_exists_;
    KeyedHash hash_;
    std::optional<Newest<std::uint64_t>> schema_;
    std::map<std::uint64_t, Newest<DatabaseName>> databases_;
    std::map<std::tuple<std::uint64_t, std::uint64_t>, Newest<std::string>> stores_;
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, Newest<std::string>> indexes_;
    HashedSlots<ExistsSlot> exists_;
    // Per primary key: its lists, and the sequence numbers of the versions of
    // its record (kept only for records that may refer to external objects,
    // and their deletions), both sorted once the pass is over.
    std::unordered_map<std::uint64_t, std::vector<ListVersion>> lists_;
    std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> record_versions_;
    // For the names of deleted databases: the deleted name records, and the
    // sequence numbers of each database's deleted metadata keys.
    std::vector<DeletedName> deleted_names_;
    std::map<std::uint64_t, Span> deleted_metadata_;
    std::map<std::uint64_t, DatabaseName> inferred_;
};

}  // namespace tarnwick::chromium
