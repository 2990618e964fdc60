#include "chromium_store/idb_metadata.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "chromium_decode/byte_reader.hpp"
#include "chromium_decode/idb_value.hpp"
#include "chromium_store/external_objects.hpp"
#include "chromium_store/idb_coding.hpp"
#include "chromium_store/origin_identifier.hpp"

namespace tarnwick::chromium {

namespace {

// V8's tag before one of Blink's own objects, and the Blink tags of the
// objects that are indexes into the record's external-object list.
constexpr std::uint8_t v8_host_object_tag = '\\';
constexpr std::array<std::uint8_t, 3> external_host_tags{'i', 'e', 'L'};
// How far (in sequence numbers) a deleted database name record may lie from
// the deletions of that database's metadata keys to be taken as one
// deletion. In a plain write batch they are neighbours (key order puts the
// name record, global metadata, right before the database's own keys); with
// LevelDB scopes the name goes in the scope's commit, with its undo task,
// journal and scope records, and the metadata in the cleanup batch right
// after it (7 apart in a real deletion).
constexpr std::uint64_t same_batch_distance = 16;
// An exists slot's flag bit, and the largest sequence number kept above it.
constexpr std::uint64_t exists_has_version = 1;
constexpr std::uint64_t exists_max_seq = std::numeric_limits<std::uint64_t>::max() >> 1;

// Whether an object-store record's value may refer to external objects: it
// is kept in a blob file or compressed (its V8 data unseen), or its V8 data
// holds a host-object tag followed by a Blob, File or FileList index tag.
// Records that pass are few; only their versions are remembered.
bool may_refer_to_external_objects(Bytes value) {
    ByteReader cur(value);
    if (!cur.varint()) return false;
    const Bytes rest = value.subspan(cur.pos());
    auto starts = [&](const std::array<std::uint8_t, 3>& prefix) {
        return rest.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), rest.begin());
    };
    if (starts(wrapped_in_blob_prefix) || starts(snappy_prefix)) return true;
    const std::uint8_t* at = rest.data();
    const std::uint8_t* end = rest.data() + rest.size();
    while (at < end) {
        const void* found = std::memchr(at, v8_host_object_tag, static_cast<std::size_t>(end - at));
        if (found == nullptr) return false;
        at = static_cast<const std::uint8_t*>(found) + 1;
        if (at < end && std::ranges::find(external_host_tags, *at) != external_host_tags.end()) return true;
    }
    return false;
}

}  // namespace

void IdbMetadata::learn(const RecordView& record) {
    const Bytes key = record.user_key();
    ByteReader cur(key);
    const auto prefix = read_idb_prefix(cur);
    if (!prefix) return;  // the record reports why when it is decoded
    const Bytes rest = key.subspan(cur.pos());
    const auto [db, store, index] = *prefix;
    if (db != 0 && store != 0 && index == idb_exists_entry) {
        if (!learn_exists_) return;
        // Sequence numbers of 2^63 and more (only a damaged log has them)
        // count as 2^63 - 1, which leaves room for the flag.
        const std::uint64_t seq = std::min(record.seq, exists_max_seq) << 1;
        auto [entry, added] = exists_.insert(hash_({db, store}, rest));
        if (added || seq >= (entry.seq_and_flag & ~exists_has_version)) {
            entry = ExistsSlot{seq, 0};
            if (record.state == KeyState::Live) {
                if (auto v = idb_int(record.value)) entry = ExistsSlot{seq | exists_has_version, *v};
            }
        }
        return;
    }
    if (db == 0) {
        learn_global(rest, record);
    } else if (store == 0) {
        learn_database(db, rest, record);
    } else {
        learn_data(db, store, index, rest, record);
    }
}

void IdbMetadata::learn_global(Bytes key_rest, const RecordView& record) {
    ByteReader cur(key_rest);
    const auto kind = cur.byte();
    if (!kind) return;
    if (*kind == global_schema_version && record.state != KeyState::Deleted) {
        if (!schema_ || record.seq >= schema_->seq) {
            if (auto v = idb_int(record.value)) schema_ = Newest<std::uint64_t>{record.seq, *v};
        }
    } else if (*kind == global_database_name) {
        const auto origin_id = read_counted_utf16(cur);
        if (!origin_id) return;
        const auto name = read_counted_utf16(cur);
        if (!name) return;
        DatabaseName named{wtf8_from_utf16be(*name), origin_from_identifier(wtf8_from_utf16be(*origin_id)), false};
        if (record.state == KeyState::Deleted) {
            deleted_names_.push_back({record.seq, std::move(named)});
            return;
        }
        const auto id = idb_int(record.value);
        if (!id) return;
        auto [at, added] = databases_.try_emplace(*id);
        if (added || record.seq >= at->second.seq) at->second = {record.seq, std::move(named)};
    }
}

void IdbMetadata::learn_database(std::uint64_t db, Bytes key_rest, const RecordView& record) {
    if (record.state == KeyState::Deleted) {
        auto [at, added] = deleted_metadata_.try_emplace(db, Span{record.seq, record.seq});
        if (!added) {
            at->second.low = std::min(at->second.low, record.seq);
            at->second.high = std::max(at->second.high, record.seq);
        }
        return;
    }
    ByteReader cur(key_rest);
    const auto kind = cur.byte();
    if (!kind || (*kind != database_object_store_meta && *kind != database_index_meta)) return;
    const auto store = cur.varint();
    if (!store) return;
    std::uint64_t index = 0;
    if (*kind == database_index_meta) {
        const auto i = cur.varint();
        if (!i) return;
        index = *i;
    }
    const auto field = cur.byte();
    if (!field || *field != metadata_name_field || record.value.size() % 2 != 0) return;
    auto keep = [&](auto& table, auto slot) {
        auto [at, added] = table.try_emplace(slot);
        if (added || record.seq >= at->second.seq) at->second = {record.seq, wtf8_from_utf16be(record.value)};
    };
    if (*kind == database_object_store_meta) {
        keep(stores_, std::tuple{db, *store});
    } else {
        keep(indexes_, std::tuple{db, *store, index});
    }
}

void IdbMetadata::learn_data(std::uint64_t db, std::uint64_t store, std::uint64_t index, Bytes primary_key,
                             const RecordView& record) {
    if (index == idb_blob_entry) {
        if (record.state == KeyState::Deleted) return;
        lists_[hash_({db, store}, primary_key)].push_back(
            {record.seq, std::vector<std::uint8_t>(record.value.begin(), record.value.end())});
        return;
    }
    if (index != idb_object_store_data) return;
    if (record.state == KeyState::Deleted) {
        // A deletion ends a version of a record whose earlier versions are remembered.
        auto at = record_versions_.find(hash_({db, store}, primary_key));
        if (at != record_versions_.end()) at->second.push_back(record.seq);
        return;
    }
    if (may_refer_to_external_objects(record.value)) record_versions_[hash_({db, store}, primary_key)].push_back(record.seq);
}

void IdbMetadata::learned() {
    // The layout of external-object lists depends on the schema version,
    // known only now; a list that does not parse is left to its own row.
    const auto schema = schema_version();
    for (auto at = lists_.begin(); at != lists_.end();) {
        std::erase_if(at->second, [&](const ListVersion& list) {
            return !decode_external_objects(Bytes(list.bytes.data(), list.bytes.size()), schema);
        });
        std::ranges::sort(at->second, {}, &ListVersion::seq);
        at = at->second.empty() ? lists_.erase(at) : std::next(at);
    }
    for (auto at = record_versions_.begin(); at != record_versions_.end();) {
        if (!lists_.contains(at->first)) {
            at = record_versions_.erase(at);
            continue;
        }
        std::ranges::sort(at->second);
        ++at;
    }
    infer_deleted_names();
}

void IdbMetadata::infer_deleted_names() {
    // A name record deleted in a batch may sit in two files (a log and the
    // table made from it): one deletion, counted once.
    std::ranges::sort(deleted_names_, {}, &DeletedName::seq);
    auto same = [](const DeletedName& a, const DeletedName& b) { return a.seq == b.seq && a.name.name == b.name.name; };
    deleted_names_.erase(std::unique(deleted_names_.begin(), deleted_names_.end(), same), deleted_names_.end());
    // Every search below is a binary search over sorted sequence numbers, so
    // that many deleted databases (a page can make thousands) cost no more
    // than sorting them.
    auto low_end = [](const Span& span) { return span.low > same_batch_distance ? span.low - same_batch_distance : 0; };
    auto high_end = [](const Span& span) {
        return span.high < std::numeric_limits<std::uint64_t>::max() - same_batch_distance
                   ? span.high + same_batch_distance
                   : std::numeric_limits<std::uint64_t>::max();
    };
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> ends;
    for (const auto& [db, span] : deleted_metadata_) {
        if (databases_.contains(db)) continue;
        starts.push_back(low_end(span));
        ends.push_back(high_end(span));
    }
    std::ranges::sort(starts);
    std::ranges::sort(ends);
    // How many unnamed databases' deletions lie near `seq`: those whose
    // widened span starts at or before it, less those that end before it.
    auto claims = [&](std::uint64_t seq) {
        return static_cast<std::size_t>(std::ranges::upper_bound(starts, seq) - starts.begin()) -
               static_cast<std::size_t>(std::ranges::lower_bound(ends, seq) - ends.begin());
    };
    for (const auto& [db, span] : deleted_metadata_) {
        if (databases_.contains(db)) continue;
        const auto first = std::ranges::lower_bound(deleted_names_, low_end(span), {}, &DeletedName::seq);
        const auto last = std::ranges::upper_bound(deleted_names_, high_end(span), {}, &DeletedName::seq);
        // Exactly one deleted name near this database, and it near no other.
        if (last - first != 1 || claims(first->seq) != 1) continue;
        DatabaseName name = first->name;
        name.inferred = true;
        inferred_.emplace(db, std::move(name));
    }
}

std::optional<std::uint64_t> IdbMetadata::schema_version() const {
    if (!schema_) return std::nullopt;
    return schema_->value;
}

const DatabaseName* IdbMetadata::database(std::uint64_t id) const {
    if (auto at = databases_.find(id); at != databases_.end()) return &at->second.value;
    if (auto at = inferred_.find(id); at != inferred_.end()) return &at->second;
    return nullptr;
}

const std::string* IdbMetadata::object_store(std::uint64_t db, std::uint64_t store) const {
    auto at = stores_.find({db, store});
    return at == stores_.end() ? nullptr : &at->second.value;
}

const std::string* IdbMetadata::index(std::uint64_t db, std::uint64_t store, std::uint64_t index) const {
    auto at = indexes_.find({db, store, index});
    return at == indexes_.end() ? nullptr : &at->second.value;
}

std::optional<ExistsEntry> IdbMetadata::exists(std::uint64_t db, std::uint64_t store, Bytes primary_key) const {
    const ExistsSlot* entry = exists_.find(hash_({db, store}, primary_key));
    if (entry == nullptr) return std::nullopt;
    ExistsEntry out{entry->seq_and_flag >> 1, std::nullopt};
    if ((entry->seq_and_flag & exists_has_version) != 0) out.record_version = entry->record_version;
    return out;
}

std::optional<ChosenList> IdbMetadata::external_list(std::uint64_t db, std::uint64_t store, Bytes primary_key,
                                                     std::uint64_t seq, bool before) const {
    const auto slot = hash_({db, store}, primary_key);
    const auto lists = lists_.find(slot);
    if (lists == lists_.end()) return std::nullopt;
    // Chromium writes a transaction's changes in key order, so a record
    // (index 1) comes before its list (index 3) in the batch: the list of a
    // version is the first one after it and before the record's next
    // version. A list before it is an earlier version's.
    if (before) {
        // An undo task restores the value its transaction overwrote, and that
        // value's list is the one in force when the transaction began: the
        // newest list before the task. (The transaction's own list, if any,
        // comes after the task: lists sort after records in key order, and
        // Chromium writes each change before its undo task.)
        const auto after = std::ranges::lower_bound(lists->second, seq, {}, &ListVersion::seq);
        if (after == lists->second.begin()) return std::nullopt;
        const ListVersion& last = *std::prev(after);
        return ChosenList{last.seq, Bytes(last.bytes.data(), last.bytes.size())};
    }
    std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
    if (const auto versions = record_versions_.find(slot); versions != record_versions_.end()) {
        const auto at = std::ranges::upper_bound(versions->second, seq);
        if (at != versions->second.end()) next = *at;
    }
    const auto first = std::ranges::upper_bound(lists->second, seq, {}, &ListVersion::seq);
    if (first == lists->second.end() || first->seq >= next) return std::nullopt;
    return ChosenList{first->seq, Bytes(first->bytes.data(), first->bytes.size())};
}

}  // namespace tarnwick::chromium
