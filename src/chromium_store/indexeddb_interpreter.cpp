#include "chromium_store/indexeddb_interpreter.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "chromium_decode/budget.hpp"
#include "chromium_decode/idb_key.hpp"
#include "chromium_decode/idb_value.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_decode/v8_value.hpp"
#include "chromium_store/blob_files.hpp"
#include "chromium_store/external_objects.hpp"
#include "chromium_store/external_references.hpp"
#include "chromium_store/idb_coding.hpp"
#include "chromium_store/idb_metadata.hpp"
#include "chromium_store/origin_identifier.hpp"
#include "chromium_store/protobuf_fields.hpp"
#include "chromium_store/windows_time.hpp"
#include "ldb_file/snappy.hpp"

namespace tarnwick::chromium {

namespace {

// Keys of the scopes log (global type 50): its metadata, a scope's locks, and
// its tasks; a task is an undo task (what restores the state before a
// transaction) or a cleanup task.
enum ScopesKey : std::uint8_t { scopes_metadata = 0, scopes_scope = 1, scopes_log = 2 };
constexpr std::uint8_t scopes_undo_task = 0;
// The operations of an undo task (a protobuf oneof), each a message with the
// key in field 1 and the value (or a range's end) in field 2.
enum UndoOperation : std::uint8_t { undo_put = 1, undo_delete = 2, undo_delete_range = 3 };
constexpr std::uint64_t undo_key_field = 1;
constexpr std::uint64_t undo_value_field = 2;
// The data version packs V8's version in the upper 32 bits and Blink's below.
constexpr unsigned data_version_v8_shift = 32;
constexpr std::uint64_t data_version_blink_mask = 0xFFFF'FFFF;

std::string_view undo_name(std::uint64_t op) {
    switch (op) {
        case undo_put: return "put";
        case undo_delete: return "delete";
        case undo_delete_range: return "delete_range";
        default: return {};
    }
}

// The fields of object store metadata (after 50 and the store id) and of
// index metadata (after 100, the store id and the index id).
std::string_view object_store_field(std::uint8_t field) {
    constexpr std::array<std::string_view, 8> names{"name",        "key_path",    "auto_increment",
                                                    "evictable",   "last_version", "max_index_id",
                                                    "has_key_path", "key_generator_current_number"};
    return field < names.size() ? names[field] : std::string_view{};
}
std::string_view index_field(std::uint8_t field) {
    constexpr std::array<std::string_view, 4> names{"name", "unique", "key_path", "multi_entry"};
    return field < names.size() ? names[field] : std::string_view{};
}
enum StoreField : std::uint8_t { store_name = 0, store_key_path = 1, store_auto_increment = 2, store_evictable = 3,
                                 store_has_key_path = 6 };
enum IndexField : std::uint8_t { index_name = 0, index_key_path = 2 };

std::string quoted(std::string_view ascii) {
    std::string out;
    append_json_ascii(out, ascii);
    return out;
}

std::string field_key(std::string_view name, std::uint8_t field) {
    return quoted(name.empty() ? "field_" + std::to_string(field) : std::string(name));
}

std::string hex_json(Bytes bytes) {
    std::string out;
    append_json_hex(out, bytes);
    return out;
}

std::string utf16_json(Bytes code_units) {
    std::string out;
    append_json_utf16(out, code_units, true);
    return out;
}

Decoded<std::string> bool_json(Bytes value) {
    DECODE_TRY(n, idb_int(value));
    return std::string(n != 0 ? "true" : "false");
}

Decoded<std::string> int_json(Bytes value) {
    DECODE_TRY(n, idb_int(value));
    return std::to_string(n);
}

// The record as the decoder sees it: a real one, or one an undo task restores.
struct RecordBytes {
    Bytes key;
    Bytes value;
    std::uint64_t seq = 0;
    bool deleted = false;  // no value
    // A record an undo task written at `seq` holds: the state before `seq`.
    bool restored = false;
};

class IndexedDbInterpreter final : public StoreInterpreter {
   public:
    explicit IndexedDbInterpreter(const StoreContext& context)
        : context_(context), names_(context.bookkeeping_rows) {}

    void learn(const RecordView& record) override { names_.learn(record); }
    void learned() override { names_.learned(); }
    void decode(const RecordView& record, DecodedRow& row) override {
        decode_record({record.user_key(), record.value, record.seq, record.state == KeyState::Deleted}, row, false);
    }
    // Every IndexedDB record says what it is, where it belongs and its key in
    // its key alone; read as a deletion marker, it is all of that without its
    // value (which may mean Snappy, blob files and a V8 value).
    bool describe(const RecordView& record, DecodedRow& row) override {
        decode_record({record.user_key(), {}, record.seq, true}, row, false);
        return true;
    }
    // A record of an object store's data, its "exists" entry and its
    // external-object list end with the record's key, encoded whole; every
    // other record is metadata, an index entry or the scopes log.
    bool may_select(Bytes key, const KeyPrecheck& check) const override {
        ByteReader cur(key);
        const auto prefix = read_idb_prefix(cur);
        if (!prefix || prefix->database == 0 || prefix->object_store == 0) return !check.data_only();
        const Bytes encoded_key = key.subspan(cur.pos());
        if (prefix->index == idb_object_store_data) return check.indexeddb_key(encoded_key);
        if (check.data_only()) return false;
        if (prefix->index == idb_exists_entry || prefix->index == idb_blob_entry) return check.indexeddb_key(encoded_key);
        return true;
    }

   private:
    // `in_undo`: the record is one an undo task holds; its own undo tasks (if
    // a page wrote such a thing) are not decoded again.
    void decode_record(const RecordBytes& r, DecodedRow& row, bool in_undo);
    Decoded<void> decode_parts(const RecordBytes& r, DecodedRow& row, bool in_undo);
    Decoded<void> global(ByteReader& cur, const RecordBytes& r, DecodedRow& row, bool in_undo);
    Decoded<void> scopes(ByteReader& cur, const RecordBytes& r, DecodedRow& row, bool in_undo);
    Decoded<void> database_metadata(ByteReader& cur, const RecordBytes& r, DecodedRow& row, std::uint64_t db);
    Decoded<void> data(Bytes primary_key, const RecordBytes& r, DecodedRow& row, std::uint64_t db,
                       std::uint64_t store);
    Decoded<void> index_entry(ByteReader& cur, const RecordBytes& r, DecodedRow& row, std::uint64_t db,
                              std::uint64_t store, std::uint64_t index);
    // The bytes of a value kept in a blob file.
    Decoded<std::vector<std::uint8_t>> unwrap(DecodedRow& row, std::uint64_t db,
                                              const std::vector<ExternalObject>& externals, std::uint64_t size,
                                              std::uint64_t index, std::vector<std::string>& unread);

    StoreContext context_;
    IdbMetadata names_;
};

void IndexedDbInterpreter::decode_record(const RecordBytes& r, DecodedRow& row, bool in_undo) {
    row.origin = context_.folder_origin;
    if (auto done = decode_parts(r, row, in_undo); !done) row.error = std::move(done.error().reason);
}

Decoded<void> IndexedDbInterpreter::decode_parts(const RecordBytes& r, DecodedRow& row, bool in_undo) {
    ByteReader cur(r.key);
    DECODE_TRY(prefix, read_idb_prefix(cur));
    const auto [db, store, index] = prefix;
    if (db != 0) {
        const DatabaseName* name = names_.database(db);
        if (name != nullptr) {
            row.database = name->name;
            if (name->origin) row.origin = name->origin;
        }
        row.details.add_int("database_id", db);
        if (name != nullptr && name->inferred) row.details.add_bool("database_name_inferred", true);
    }
    if (store != 0) {
        if (const std::string* name = names_.object_store(db, store)) row.object_store = *name;
        row.details.add_int("object_store_id", store);
    }
    if (db == 0) return global(cur, r, row, in_undo);
    if (store == 0) return database_metadata(cur, r, row, db);
    const Bytes rest = r.key.subspan(cur.pos());
    if (index == idb_object_store_data) return data(rest, r, row, db, store);
    if (index == idb_exists_entry) {
        row.record_type = "exists";
        DECODE_TRY(key, decode_whole_idb_key(rest));
        row.key_json = std::move(key);
        if (!r.deleted) {
            DECODE_TRY(version, idb_int(r.value));
            row.value_json = R"({"record_version":)" + std::to_string(version) + "}";
        }
        return {};
    }
    if (index == idb_blob_entry) {
        row.record_type = "external_objects";
        DECODE_TRY(key, decode_whole_idb_key(rest));
        row.key_json = std::move(key);
        if (!r.deleted) {
            DECODE_TRY(objects, decode_external_objects(r.value, names_.schema_version()));
            row.value_json = external_objects_json(objects);
        }
        return {};
    }
    if (index >= idb_min_user_index) return index_entry(cur, r, row, db, store, index);
    return decode_error("index id " + std::to_string(index) + " is reserved");
}

Decoded<void> IndexedDbInterpreter::global(ByteReader& cur, const RecordBytes& r, DecodedRow& row, bool in_undo) {
    DECODE_TRY(kind, cur.byte());
    auto simple = [&](std::string_view name) {
        row.record_type = name;
        row.key_json = quoted(name);
    };
    switch (kind) {
        case global_schema_version:
        case global_max_database_id:
        case global_earliest_sweep:
        case global_earliest_compaction: {
            simple(kind == global_schema_version     ? "schema_version"
                   : kind == global_max_database_id  ? "max_database_id"
                   : kind == global_earliest_sweep   ? "earliest_sweep"
                                                     : "earliest_compaction");
            if (r.deleted) return {};
            DECODE_TRY(n, idb_int(r.value));
            const bool time = kind == global_earliest_sweep || kind == global_earliest_compaction;
            row.value_json = time ? windows_time_json(n) : std::to_string(n);
            return {};
        }
        case global_data_version: {
            simple("data_version");
            if (r.deleted) return {};
            DECODE_TRY(n, idb_int(r.value));
            row.value_json = R"({"v8":)" + std::to_string(n >> data_version_v8_shift) + R"(,"blink":)" +
                             std::to_string(n & data_version_blink_mask) + "}";
            return {};
        }
        case global_recovery_journal:
        case global_active_journal: {
            simple(kind == global_recovery_journal ? "recovery_blob_journal" : "active_blob_journal");
            if (r.deleted) return {};
            ByteReader journal(r.value);
            std::string out = "[";
            while (!journal.at_end()) {
                DECODE_TRY(database_id, journal.varint());
                DECODE_TRY(blob_number, journal.varint());
                if (out.size() > 1) out += ',';
                out += R"({"database_id":)" + std::to_string(database_id) + R"(,"blob_number":)" +
                       std::to_string(blob_number) + "}";
            }
            row.value_json = out + "]";
            return {};
        }
        case global_scopes: return scopes(cur, r, row, in_undo);
        case global_database_free_list: {
            row.record_type = "database_free_list";
            DECODE_TRY(id, cur.varint());
            row.key_json = R"({"database_id":)" + std::to_string(id) + "}";
            return {};
        }
        case global_database_name: {
            row.record_type = "database_name";
            DECODE_TRY(origin_id, read_counted_utf16(cur));
            DECODE_TRY(name, read_counted_utf16(cur));
            row.database = wtf8_from_utf16be(name);
            row.key_json = R"({"origin_identifier":)" + utf16_json(origin_id) + R"(,"name":)" + utf16_json(name) + "}";
            if (auto origin = origin_from_identifier(wtf8_from_utf16be(origin_id))) row.origin = std::move(origin);
            if (r.deleted) return {};
            DECODE_TRY(id, idb_int(r.value));
            row.value_json = R"({"database_id":)" + std::to_string(id) + "}";
            return {};
        }
        default: return decode_error("unknown global metadata type " + std::to_string(kind));
    }
}

// LevelDB scopes, IndexedDB's transaction log. Its undo tasks keep copies of
// keys and values as they were before a transaction changed them.
Decoded<void> IndexedDbInterpreter::scopes(ByteReader& cur, const RecordBytes& r, DecodedRow& row, bool in_undo) {
    row.record_type = "scopes_log";
    DECODE_TRY(sub, cur.byte());
    if (sub == scopes_metadata) {
        row.key_json = R"({"scopes":"metadata"})";
        if (r.deleted) return {};
        DECODE_TRY(fields, protobuf_fields(r.value));
        std::string out = R"({"fields":{)";
        bool first = true;
        for (const auto& f : fields) {
            if (!first) out += ',';
            first = false;
            out += quoted(std::to_string(f.number)) + ":";
            out += f.is_bytes ? hex_json(f.bytes) : std::to_string(f.number_value);
        }
        row.value_json = out + "}}";
        return {};
    }
    DECODE_TRY(scope, cur.varint());
    if (sub == scopes_scope) {
        row.key_json = R"({"scopes":"scope","scope":)" + std::to_string(scope) + "}";
        if (!r.deleted) row.value_json = R"({"$bytes":)" + hex_json(r.value) + "}";
        return {};
    }
    if (sub != scopes_log) return decode_error("unknown scopes key type " + std::to_string(sub));
    DECODE_TRY(task, cur.byte());
    DECODE_TRY(sequence, cur.big_endian(8));
    row.key_json = R"({"scopes":)" + quoted(task == scopes_undo_task ? "undo" : "cleanup") + R"(,"scope":)" +
                   std::to_string(scope) + R"(,"sequence":)" + std::to_string(sequence) + "}";
    if (r.deleted) return {};
    if (task != scopes_undo_task) {
        row.value_json = R"({"$bytes":)" + hex_json(r.value) + "}";
        return {};
    }
    DECODE_TRY(task_fields, protobuf_fields(r.value));
    const ProtoField* operation = nullptr;
    std::size_t operations = 0;
    for (const auto& f : task_fields) {
        if (undo_name(f.number).empty()) continue;
        ++operations;
        if (operation == nullptr) operation = &f;
    }
    if (operations != 1 || !operation->is_bytes) return decode_error("undo task of no known kind");
    const std::uint64_t op = operation->number;
    DECODE_TRY(body, protobuf_fields(operation->bytes));
    const ProtoField* key = find_field(body, undo_key_field);
    const ProtoField* value = find_field(body, undo_value_field);
    // A field written as a number rather than bytes is reported as that number.
    auto part_json = [](const ProtoField* f) {
        if (f == nullptr) return std::string(R"("")");
        return f->is_bytes ? hex_json(f->bytes) : std::to_string(f->number_value);
    };
    std::string undo = R"({"undo":)" + quoted(undo_name(op));
    if (op == undo_delete_range) {
        row.value_json = undo + R"(,"begin":)" + part_json(key) + R"(,"end":)" + part_json(value) + "}";
        return {};
    }
    undo += R"(,"key":)" + part_json(key);
    const bool key_is_bytes = key == nullptr || key->is_bytes;
    if (key_is_bytes && !in_undo) {
        // The record the undo would restore (put: its earlier value) or remove
        // (delete: it did not exist before), decoded like any record.
        RecordBytes inner_record;
        inner_record.key = key != nullptr ? key->bytes : Bytes{};
        inner_record.value = value != nullptr && value->is_bytes ? value->bytes : Bytes{};
        inner_record.seq = r.seq;
        inner_record.deleted = op != undo_put;
        inner_record.restored = true;
        DecodedRow inner;
        decode_record(inner_record, inner, true);
        auto or_null = [](const std::optional<std::string>& json) { return json ? *json : std::string("null"); };
        auto name_or_null = [](const std::optional<std::string>& name) {
            if (!name) return std::string("null");
            std::string out;
            append_json_wtf8(out, *name);
            return out;
        };
        undo += R"(,"record":{"record_type":)" + quoted(inner.record_type) + R"(,"database":)" +
                name_or_null(inner.database) + R"(,"object_store":)" + name_or_null(inner.object_store) +
                R"(,"key":)" + or_null(inner.key_json);
        if (inner.error) {
            undo += R"(,"error":)";
            append_path_json(undo, *inner.error);
        }
        undo += "}";
        if (op == undo_put) undo += R"(,"previous_value":)" + or_null(inner.value_json);
    }
    row.value_json = undo + "}";
    return {};
}

Decoded<void> IndexedDbInterpreter::database_metadata(ByteReader& cur, const RecordBytes& r, DecodedRow& row,
                                                      std::uint64_t db) {
    DECODE_TRY(kind, cur.byte());
    auto simple = [&](std::string_view name) {
        row.record_type = name;
        row.key_json = quoted(name);
    };
    switch (kind) {
        case database_origin_name:
        case database_name_field:
        case database_string_version: {
            simple(kind == database_origin_name  ? "origin_name"
                   : kind == database_name_field ? "database_name_field"
                                                 : "string_version");
            if (r.deleted) return {};
            DECODE_TRY(text, utf16be_json(r.value));
            row.value_json = std::move(text);
            return {};
        }
        case database_max_object_store_id: {
            simple("max_object_store_id");
            if (r.deleted) return {};
            DECODE_TRY(n, int_json(r.value));
            row.value_json = std::move(n);
            return {};
        }
        case database_version:
        case database_blob_key_generator: {
            simple(kind == database_version ? "database_version" : "blob_number_generator");
            if (r.deleted) return {};
            ByteReader value(r.value);
            DECODE_TRY(n, value.varint());
            row.value_json = std::to_string(n);
            return {};
        }
        case database_object_store_meta: {
            DECODE_TRY(store, cur.varint());
            DECODE_TRY(field, cur.byte());
            if (const std::string* name = names_.object_store(db, store)) row.object_store = *name;
            row.details.add_int("object_store_id", store);
            row.record_type = "object_store_metadata";
            row.key_json = field_key(object_store_field(field), field);
            if (r.deleted) return {};
            if (field == store_name) {
                DECODE_TRY(text, utf16be_json(r.value));
                row.value_json = std::move(text);
            } else if (field == store_key_path) {
                DECODE_TRY(path, key_path_json(r.value));
                row.value_json = std::move(path);
            } else if (field == store_auto_increment || field == store_evictable || field == store_has_key_path) {
                DECODE_TRY(flag, bool_json(r.value));
                row.value_json = std::move(flag);
            } else {
                DECODE_TRY(n, int_json(r.value));
                row.value_json = std::move(n);
            }
            return {};
        }
        case database_index_meta: {
            DECODE_TRY(store, cur.varint());
            DECODE_TRY(index, cur.varint());
            DECODE_TRY(field, cur.byte());
            if (const std::string* name = names_.object_store(db, store)) row.object_store = *name;
            if (const std::string* name = names_.index(db, store, index)) row.index = *name;
            row.details.add_int("object_store_id", store);
            row.details.add_int("index_id", index);
            row.record_type = "index_metadata";
            row.key_json = field_key(index_field(field), field);
            if (r.deleted) return {};
            if (field == index_name) {
                DECODE_TRY(text, utf16be_json(r.value));
                row.value_json = std::move(text);
            } else if (field == index_key_path) {
                DECODE_TRY(path, key_path_json(r.value));
                row.value_json = std::move(path);
            } else {
                DECODE_TRY(flag, bool_json(r.value));
                row.value_json = std::move(flag);
            }
            return {};
        }
        case database_object_store_free_list:
        case database_index_free_list: {
            row.record_type = kind == database_object_store_free_list ? "object_store_free_list" : "index_free_list";
            row.key_json = hex_json(r.key.subspan(cur.pos()));
            return {};
        }
        case database_object_store_names: {
            row.record_type = "object_store_name";
            DECODE_TRY(name, read_counted_utf16(cur));
            row.key_json = utf16_json(name);
            if (r.deleted) return {};
            DECODE_TRY(id, idb_int(r.value));
            row.value_json = R"({"object_store_id":)" + std::to_string(id) + "}";
            return {};
        }
        case database_index_names: {
            DECODE_TRY(store, cur.varint());
            row.record_type = "index_name";
            if (const std::string* name = names_.object_store(db, store)) row.object_store = *name;
            DECODE_TRY(name, read_counted_utf16(cur));
            row.key_json = utf16_json(name);
            if (r.deleted) return {};
            DECODE_TRY(id, idb_int(r.value));
            row.value_json = R"({"index_id":)" + std::to_string(id) + "}";
            return {};
        }
        default: return decode_error("unknown database metadata type " + std::to_string(kind));
    }
}

Decoded<std::vector<std::uint8_t>> IndexedDbInterpreter::unwrap(DecodedRow& row, std::uint64_t db,
                                                                const std::vector<ExternalObject>& externals,
                                                                std::uint64_t size, std::uint64_t index,
                                                                std::vector<std::string>& unread) {
    if (index >= externals.size()) {
        return decode_error("value kept in external object " + std::to_string(index) + ", which is not listed");
    }
    const ExternalObject& o = externals[index];
    if (!o.blob_number) {
        return decode_error("value kept in external object " + std::to_string(index) + ", which names no blob file");
    }
    BlobFile found = read_blob_file(context_.blob_folder, db, *o.blob_number, value_blob_limit);
    std::string path;
    append_path_json(path, found.path);
    row.details.add("blob_file", path);
    if (!o.is_value_wrapper() && o.type_json) row.details.add("wrapper_type", *o.type_json);
    if (found.status != BlobStatus::Read) {
        if (found.unread()) unread.push_back(unread_file_json(found.path, found.describe()));
        return decode_error("value kept in blob file " + found.path + ", which is " + found.describe());
    }
    if (found.data.size() != size) {
        row.details.add("wrapper_size_mismatch", R"({"expected":)" + std::to_string(size) + R"(,"found":)" +
                                                     std::to_string(found.data.size()) + "}");
    }
    return std::move(found.data);
}

Decoded<void> IndexedDbInterpreter::data(Bytes primary_key, const RecordBytes& r, DecodedRow& row, std::uint64_t db,
                                         std::uint64_t store) {
    row.record_type = "data";
    std::optional<std::string> key_error;
    if (auto key = decode_whole_idb_key(primary_key)) {
        row.key_json = std::move(*key);
    } else {
        // The value may still be readable.
        key_error = "key: " + key.error().reason;
        row.error = key_error;
    }
    if (r.deleted) return {};
    ByteReader cur(r.value);
    DECODE_TRY(record_version, cur.varint());
    row.details.add_int("record_version", record_version);
    std::vector<ExternalObject> externals;
    const auto list = names_.external_list(db, store, primary_key, r.seq, r.restored);
    if (list) {
        if (auto parsed = decode_external_objects(list->bytes, names_.schema_version())) externals = std::move(*parsed);
    }
    std::vector<std::string> unread;
    auto note_unread = [&] {
        if (unread.empty()) return;
        std::string files = "[";
        for (const auto& f : unread) files += (files.size() > 1 ? "," : "") + f;
        row.details.add("unread_files", files + "]");
        unread.clear();
    };
    Bytes value = r.value.subspan(cur.pos());
    std::vector<std::uint8_t> unwrapped;
    ByteBuffer inflated;
    std::string stored_as;
    auto starts = [&](const std::array<std::uint8_t, 3>& prefix) {
        return value.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), value.begin());
    };
    for (int layer = 0; layer < max_value_layers; ++layer) {
        if (starts(wrapped_in_blob_prefix)) {
            ByteReader wrapped(value, wrapped_in_blob_prefix.size());
            DECODE_TRY(size, wrapped.varint());
            DECODE_TRY(index, wrapped.varint());
            stored_as += stored_as.empty() ? "blob_file" : "+blob_file";
            auto bytes = unwrap(row, db, externals, size, index, unread);
            if (!bytes) {
                note_unread();
                return std::unexpected(bytes.error());
            }
            unwrapped = std::move(*bytes);
            value = Bytes(unwrapped.data(), unwrapped.size());
        } else if (starts(snappy_prefix)) {
            stored_as += stored_as.empty() ? "snappy" : "+snappy";
            const Bytes compressed = value.subspan(snappy_prefix.size());
            // Layers of Snappy could multiply each other's expansion: no layer
            // may claim more than a value kept in a blob file may hold.
            ByteReader header(compressed);
            if (const auto claimed = header.varint(); claimed && *claimed > value_blob_limit) {
                return decode_error("compressed value claims " + std::to_string(*claimed) + " bytes, over the " +
                                    std::to_string(value_blob_limit) + "-byte cap");
            }
            auto bytes = decompress_snappy(compressed);
            if (!bytes) return decode_error(bytes.error().message());
            inflated = std::move(*bytes);
            value = Bytes(inflated.data(), inflated.size());
        } else {
            break;
        }
    }
    row.details.add_string("stored_as", stored_as.empty() ? "plain" : stored_as);
    auto fail = [&](const std::string& reason) {
        note_unread();
        return decode_error(key_error ? *key_error + "; value: " + reason : reason);
    };
    auto decoded = decode_serialized_script_value(value);
    if (!decoded) return fail(decoded.error().reason);
    // What the value may expand to grows with its bytes as stored, unwrapped.
    Budget budget(value.size());
    const ExternalFiles files{context_.blob_folder, db};
    if (auto resolved = resolve_external_references(decoded->json, externals, files, budget, unread); !resolved) {
        return fail(resolved.error().reason);
    }
    note_unread();
    row.value_json = std::move(decoded->json);
    row.details.add_int("blink", decoded->blink_version);
    row.details.add_int("v8", decoded->v8_version);
    // Which external-object list was taken as this version's own.
    if (list) row.details.add_int("external_objects_seq", list->seq);
    return {};
}

Decoded<void> IndexedDbInterpreter::index_entry(ByteReader& cur, const RecordBytes& r, DecodedRow& row,
                                                std::uint64_t db, std::uint64_t store, std::uint64_t index) {
    row.record_type = "index";
    if (const std::string* name = names_.index(db, store, index)) row.index = *name;
    row.details.add_int("index_id", index);
    DECODE_TRY(key, decode_idb_key(cur));
    row.key_json = std::move(key);
    std::optional<std::string> primary;
    Bytes primary_bytes;
    if (!cur.at_end()) {
        DECODE_TRY(sequence, cur.varint());
        row.details.add_int("sequence", sequence);
        if (!cur.at_end()) {
            const std::size_t start = cur.pos();
            DECODE_TRY(p, decode_idb_key(cur));
            primary = std::move(p);
            primary_bytes = r.key.subspan(start, cur.pos() - start);
        }
    }
    if (r.deleted) {
        if (primary) row.details.add("primary_key", *primary);
        return {};
    }
    ByteReader value(r.value);
    DECODE_TRY(version, value.varint());
    if (!primary && !value.at_end()) {
        const std::size_t start = value.pos();
        DECODE_TRY(p, decode_idb_key(value));
        primary = std::move(p);
        primary_bytes = r.value.subspan(start, value.pos() - start);
    }
    row.value_json = R"({"record_version":)" + std::to_string(version) + R"(,"primary_key":)" +
                     (primary ? *primary : std::string("null")) + "}";
    // An index entry is stale when its record was since overwritten or
    // deleted: Chromium removes such entries lazily.
    const auto current = names_.exists(db, store, primary_bytes);
    row.details.add_bool("stale", !current || current->record_version != version);
    return {};
}

}  // namespace

std::unique_ptr<StoreInterpreter> make_indexeddb_interpreter(const StoreContext& context) {
    return std::make_unique<IndexedDbInterpreter>(context);
}

}  // namespace tarnwick::chromium
